// The run: "Convert!" gives every task its output and starts the converter, the converter's
// progress and end events update the rows, "Stop" stops the run.
#include "MainWindow.h"

#include "AppBrand.h"
#include "AppTexts.h"
#include "FileList.h"
#include "FilesAtOnce.h"
#include "OutputFormats.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>

namespace pelorix {

namespace {
constexpr int ProgressIntervalMs = 100;

// The entry by its exact text, as the list shows it; the first one otherwise.
const TOutputFormat* FormatOfEntry(const QString& AEntryText) {
  const TOutputFormat* Format = &OutputFormats().front();
  for (const TOutputFormat& Entry : OutputFormats())
    if (QString::fromStdString(Entry.Text) == AEntryText) Format = &Entry;
  return Format;
}
} // namespace

void TfrmMain::ConnectConverter() {
  VexoC->SetLogLevel(TLogLevel::llQuiet);
  VexoC->SetProgressInterval(ProgressIntervalMs);
  // Conversions yield to the window: a busy machine must not make it stutter.
  VexoC->SetThreadPriority(TConvertPriority::tpLower);
  // Worker threads, under the converter's lock: copy the values and queue them; never wait
  // for the GUI thread, which may itself be waiting for that lock in Stop.
  VexoC->SetOnProgress([this](int AIndex, int, int, int ACurrentDuration, float, float, int64_t,
                              int ATotalOutputDuration) {
    QMetaObject::invokeMethod(
        this,
        [this, AIndex, ACurrentDuration, ATotalOutputDuration] {
          Guarded([&] { VexoCProgress(AIndex, ACurrentDuration, ATotalOutputDuration); });
        },
        Qt::QueuedConnection);
  });
  VexoC->SetOnTerminate([this](int AIndex, const TTaskResult& AResult) {
    QMetaObject::invokeMethod(
        this, [this, AIndex, AResult] { Guarded([&] { VexoCTerminate(AIndex, AResult); }); },
        Qt::QueuedConnection);
  });
}

void TfrmMain::btnConvertClick() {
  if (RunActive) {
    StopRun();
    return;
  }
  StartRun();
}

void TfrmMain::StopRun() {
  if (!RunActive || StopPending) return;
  StopPending = true;
  Canceled = true;
  // Add and Convert wait for the run's final event: a new run must not race the old one.
  btnConvert->setEnabled(false);
  VexoC->Stop();
}

void TfrmMain::StartRun() {
  if (!VexoC->Probe().LoadLibraries(LibraryFolder().toStdString(), true)) {
    Dialogs.Message(this, TMessageKind::mkPlain, AppTitle, texts::LibraryError);
    return;
  }
  if (lvFiles->RowCount() == 0) {
    Dialogs.Message(this, TMessageKind::mkInformation, texts::InformationTitle, texts::ChooseAFile);
    ForgetTasks();
    Canceled = false;
    btnOpen->setFocus();
    return;
  }
  const QString EntryText = selFormat->currentText();
  if (VexoC->TaskCount() == 0 || Canceled) {
    if (EntryText == LastFormatText &&
        !Dialogs.Ask(this, texts::InformationTitle, texts::ConvertAgainQuestion(EntryText)))
      return;
    ForgetTasks();
    Canceled = false;
    DoLoadFromList();
  }

  RowInRun.assign(static_cast<size_t>(Rows.Count()), false);
  TaskOutcomes.assign(TaskRows.size(), TTaskOutcome::toNone);
  // A task whose output cannot be set leaves the list, its row failed with the reason (the
  // run's summary names it); the next task takes its index.
  const int Count = VexoC->TaskCount();
  int Index = 0;
  for (int Step = 0; Step < Count && Index < VexoC->TaskCount(); ++Step) {
    const int Row = TaskRows[static_cast<size_t>(Index)];
    RowInRun[static_cast<size_t>(Row)] = true;
    if (SetOutput(Index, EntryText)) {
      btnConvert->setFocus();
      ++Index;
      continue;
    }
    Rows.Fail(Row, QString::fromStdString(VexoC->LastError()));
    ShowRow(Row);
    VexoC->RemoveTask(Index);
    TaskRows.erase(TaskRows.begin() + Index);
    TaskOutcomes.erase(TaskOutcomes.begin() + Index);
  }
  VexoC->Probe().Close();

  if (VexoC->TaskCount() == 0) {
    // Nothing to convert: back to idle, the rows say why.
    SetTitle(QStringLiteral(" [Done]"));
    SaveList();
    ShowFailures();
    return;
  }
  RunActive = true;
  StopPending = false;
  CloseAfterRun = false;
  Canceled = false;
  SetRunControls(true);
  RunThreadCount = pelorix::FilesAtOnce(*FormatOfEntry(EntryText), Processors);
  RunClock.start();
  ShowRunTitle();
  SaveList();
  VexoC->Start(RunThreadCount);
}

const TOutputFormat& TfrmMain::ChosenFormat() const {
  return *FormatOfEntry(selFormat->currentText());
}

bool TfrmMain::SetOutput(int AIndex, const QString& AEntryText) {
  const TTaskView Task = VexoC->Tasks(AIndex);
  // The same option building as the batch command line's, with automatic codec threads.
  TTaskOutput Output = BuildTaskOutput(*FormatOfEntry(AEntryText), Task.SourcePath,
                                       SourceFactsOf(Task.Source), chkSameFolder->isChecked(),
                                       txtOutput->text().toStdString(), 0, EncodingChoice());
  if (AdjustOutput) AdjustOutput(Output.Options);
  const QString OutputPath = QString::fromStdString(Output.FileName);
  // A failed setting leaves no file: the converter opens the output under a temporary name.
  if (!VexoC->SetTaskOutput(AIndex, Output.FileName, &Output.Options)) return false;
  const int Row = TaskRows[static_cast<size_t>(AIndex)];
  Rows.SetOutput(Row, OutputPath);
  Rows.SetCopied(Row, Output.VideoCopied && Output.AudioCopied ? TCopiedStreams::csBoth
                      : Output.VideoCopied                     ? TCopiedStreams::csVideo
                      : Output.AudioCopied                     ? TCopiedStreams::csAudio
                                                               : TCopiedStreams::csNone);
  return true;
}

void TfrmMain::SetRunControls(bool ARunning) {
  for (QWidget* Control :
       std::initializer_list<QWidget*>{btnOpen, btnFolderChange, selFormat, selQuality,
                                       chkCopyFitting, txtOutput, chkSameFolder})
    Control->setEnabled(!ARunning);
  AddFiles1->setEnabled(!ARunning);
  RemoveFiles1->setEnabled(!ARunning);
  btnConvert->setEnabled(true);
  ShowConvertCaption(ARunning);
  // After a run the same-folder rule holds again for the folder controls, the copy rule for
  // the copy box.
  if (!ARunning) {
    chkSameFolderClick();
    UpdateCopyFitting();
  }
}

void TfrmMain::ShowConvertCaption(bool ARunning) {
  btnConvert->setText(ARunning ? QStringLiteral("Stop") : QStringLiteral("Convert!"));
  btnConvert->setAccessibleName(ARunning ? QStringLiteral("Stop") : QStringLiteral("Convert"));
  btnConvert->setIcon(
      style()->standardIcon(ARunning ? QStyle::SP_MediaStop : QStyle::SP_MediaPlay));
}

int TfrmMain::RowOfTask(int AIndex) const {
  if (AIndex < 0 || static_cast<size_t>(AIndex) >= TaskRows.size()) return -1;
  const int Row = TaskRows[static_cast<size_t>(AIndex)];
  return Row < lvFiles->RowCount() ? Row : -1;
}

bool TfrmMain::TaskHasEnded(int AIndex) const {
  return AIndex >= 0 && static_cast<size_t>(AIndex) < TaskOutcomes.size() &&
         TaskOutcomes[static_cast<size_t>(AIndex)] != TTaskOutcome::toNone;
}

void TfrmMain::ShowRunTitle() {
  const TRunTotals Totals = Rows.RunTotals(RowInRun);
  SetTitle(
      QStringLiteral(" [%1 of %2, %3%]").arg(Totals.Ended).arg(Totals.Count).arg(Totals.Percent));
}

void TfrmMain::VexoCProgress(int AIndex, int ACurrentDuration, int ATotalOutputDuration) {
  const int Row = RowOfTask(AIndex);
  // After "Stop" a row moves no more; its end tells how it ended.
  if (!RunActive || StopPending || Row < 0 || TaskHasEnded(AIndex)) return;
  const bool Started = Rows.Row(Row).State != TRowState::rsConverting;
  Rows.Report(Row, ACurrentDuration, ATotalOutputDuration, RunClock.elapsed());
  ShowRow(Row);
  ShowRunTitle();
  if (Started) SaveList();
}

void TfrmMain::ShowTaskEnd(int ARow, const TTaskResult& AResult) {
  // A failed conversion left no partial file behind (the converter writes under a temporary
  // name); an incomplete one is kept for the user to judge, a stopped one holds what was
  // converted.
  Rows.End(ARow, AResult);
  ShowRow(ARow);
}

void TfrmMain::VexoCTerminate(int AIndex, const TTaskResult& AResult) {
  if (!RunActive) return;
  const int Row = RowOfTask(AIndex);
  if (Row >= 0 && static_cast<size_t>(AIndex) < TaskOutcomes.size()) {
    TaskOutcomes[static_cast<size_t>(AIndex)] = AResult.Outcome;
    // The name the output got: another program may have taken the one it was given.
    if (AIndex < VexoC->TaskCount())
      Rows.SetOutput(Row, QString::fromStdString(VexoC->Tasks(AIndex).OutputPath));
    ShowTaskEnd(Row, AResult);
    emit TaskEnded(Row);
  }

  if (Canceled) {
    SetTitle(QStringLiteral(" [Job Canceled]"));
    ShowConvertCaption(false);
    // What has not ended will not convert now; what ended keeps its own end.
    for (size_t Task = 0; Task < TaskOutcomes.size(); ++Task) {
      const int TaskRow = RowOfTask(static_cast<int>(Task));
      if (TaskRow >= 0 && TaskOutcomes[Task] == TTaskOutcome::toNone) {
        Rows.SetNotStarted(TaskRow);
        ShowRow(TaskRow);
      }
    }
    SaveList();
    if (AIndex == -1) EndRun();
    return;
  }
  if (AIndex != -1) {
    ShowRunTitle();
    SaveList();
    return;
  }

  SetTitle(QStringLiteral(" [Done]"));
  // Only a run that converted something counts as converted to this format.
  if (std::find(TaskOutcomes.begin(), TaskOutcomes.end(), TTaskOutcome::toConverted) !=
      TaskOutcomes.end())
    LastFormatText = selFormat->currentText();
  // The tasks are done with; the rows stay, and so does what they tell.
  ForgetTasks();
  SaveList();
  EndRun();
}

void TfrmMain::ShowFailures() {
  QStringList Lines;
  for (int Row = 0; Row < Rows.Count(); ++Row) {
    if (static_cast<size_t>(Row) >= RowInRun.size() || !RowInRun[static_cast<size_t>(Row)])
      continue;
    const TRowRecord& Record = Rows.Row(Row);
    if (Record.State != TRowState::rsFailed) continue;
    Lines << QFileInfo(Record.Source).fileName() + QStringLiteral(": ") + Record.Reason;
  }
  if (Lines.isEmpty()) return;
  Dialogs.Message(this, TMessageKind::mkPlain, AppTitle, texts::FailedFiles(Lines));
}

void TfrmMain::EndRun() {
  RunActive = false;
  StopPending = false;
  SetRunControls(false);
  UpdateListActions();
  // Closing during the run: the window goes without a box to answer.
  if (!CloseAfterRun) ShowFailures();
  emit RunFinished();
  if (CloseAfterRun) QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

} // namespace pelorix
