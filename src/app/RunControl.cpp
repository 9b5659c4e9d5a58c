// The run: "Convert!" gives every task its output and starts the converter, the converter's
// progress and end events update the rows, "Stop" stops the run.
#include "MainWindow.h"

#include "AppBrand.h"
#include "AppTexts.h"
#include "FileList.h"
#include "OutputFormats.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>

namespace pelorix {

namespace {
constexpr int RunThreads = 1; // one task at a time, on a worker thread
constexpr int ProgressIntervalMs = 100;
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
    VexoC->ClearTasks();
    TaskRows.clear();
    Canceled = false;
    btnOpen->setFocus();
    return;
  }
  const QString EntryText = selFormat->currentText();
  if (VexoC->TaskCount() == 0 || Canceled) {
    if (EntryText == LastFormatText &&
        !Dialogs.Ask(this, texts::InformationTitle, texts::ConvertAgainQuestion(EntryText)))
      return;
    VexoC->ClearTasks();
    TaskRows.clear();
    Canceled = false;
    DoLoadFromList();
  }

  TaskOutputs.assign(TaskRows.size(), QString());
  TaskOutcomes.assign(TaskRows.size(), TTaskOutcome::toNone);
  // A task whose output cannot be set leaves the list; the next one takes its index.
  const int Count = VexoC->TaskCount();
  int Index = 0;
  for (int Step = 0; Step < Count && Index < VexoC->TaskCount(); ++Step) {
    if (SetOutput(Index, EntryText)) {
      btnConvert->setFocus();
      ++Index;
      continue;
    }
    const QString Why = QString::fromStdString(VexoC->LastError());
    lvFiles->SetStatus(TaskRows[static_cast<size_t>(Index)], StatusFailed, Why);
    VexoC->RemoveTask(Index);
    TaskRows.erase(TaskRows.begin() + Index);
    TaskOutputs.erase(TaskOutputs.begin() + Index);
    TaskOutcomes.erase(TaskOutcomes.begin() + Index);
    Dialogs.Message(this, TMessageKind::mkPlain, AppTitle, texts::ErrorFound);
  }
  VexoC->Probe().Close();

  if (VexoC->TaskCount() == 0) {
    // Nothing to convert: back to idle, the rows say why.
    SetTitle(QStringLiteral(" [Done]"));
    return;
  }
  RunActive = true;
  StopPending = false;
  CloseAfterRun = false;
  Canceled = false;
  SetRunControls(true);
  SetTitle(QStringLiteral(" [Converting...]"));
  VexoC->Start(RunThreads);
}

bool TfrmMain::SetOutput(int AIndex, const QString& AEntryText) {
  const TTaskView Task = VexoC->Tasks(AIndex);
  // The entry by its exact text, as the list shows it; the first one otherwise.
  const TOutputFormat* Format = &OutputFormats().front();
  for (const TOutputFormat& Entry : OutputFormats())
    if (QString::fromStdString(Entry.Text) == AEntryText) Format = &Entry;
  // The same option building as the batch command line's, with automatic codec threads.
  TTaskOutput Output =
      BuildTaskOutput(*Format, Task.SourcePath, SourceFactsOf(Task.Source),
                      chkSameFolder->isChecked(), txtOutput->text().toStdString(), 0);
  if (AdjustOutput) AdjustOutput(Output.Options);
  const QString OutputPath = QString::fromStdString(Output.FileName);
  // A failed setting leaves no file: the converter opens the output under a temporary name.
  if (!VexoC->SetTaskOutput(AIndex, Output.FileName, &Output.Options)) return false;
  TaskOutputs[static_cast<size_t>(AIndex)] = OutputPath;
  return true;
}

void TfrmMain::SetRunControls(bool ARunning) {
  for (QWidget* Control : std::initializer_list<QWidget*>{btnOpen, btnFolderChange, selFormat,
                                                          txtOutput, chkSameFolder})
    Control->setEnabled(!ARunning);
  AddFiles1->setEnabled(!ARunning);
  RemoveFiles1->setEnabled(!ARunning);
  btnConvert->setEnabled(true);
  ShowConvertCaption(ARunning);
  // After a run the same-folder rule holds again for the folder controls.
  if (!ARunning) chkSameFolderClick();
}

void TfrmMain::ShowConvertCaption(bool ARunning) {
  btnConvert->setText(ARunning ? QStringLiteral("Stop") : QStringLiteral("Convert!"));
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

void TfrmMain::VexoCProgress(int AIndex, int ACurrentDuration, int ATotalOutputDuration) {
  const int Row = RowOfTask(AIndex);
  // After "Stop" a row moves no more; its end tells how it ended.
  if (!RunActive || StopPending || Row < 0 || TaskHasEnded(AIndex)) return;
  lvFiles->SetStatus(Row, ProgressCellText(ACurrentDuration, ATotalOutputDuration));
}

void TfrmMain::ShowTaskEnd(int ARow, int AIndex, const TTaskResult& AResult) {
  const QString& Output = TaskOutputs[static_cast<size_t>(AIndex)];
  switch (AResult.Outcome) {
  case TTaskOutcome::toConverted:
    lvFiles->SetStatus(ARow, StatusDone, Output);
    break;
  case TTaskOutcome::toFailed:
    // A failed conversion is not "Done"; the converter left no partial file behind.
    lvFiles->SetStatus(ARow, StatusFailed, QString::fromStdString(AResult.Reason));
    break;
  case TTaskOutcome::toIncomplete:
    // What the output lacks is its tool tip; the file is kept for the user to judge.
    lvFiles->SetStatus(ARow, StatusIncomplete, QString::fromStdString(AResult.Reason));
    break;
  default: // stopped, or never started
    lvFiles->SetStatus(ARow, StatusCanceled);
  }
}

void TfrmMain::VexoCTerminate(int AIndex, const TTaskResult& AResult) {
  if (!RunActive) return;
  const int Row = RowOfTask(AIndex);
  if (Row >= 0 && static_cast<size_t>(AIndex) < TaskOutcomes.size()) {
    TaskOutcomes[static_cast<size_t>(AIndex)] = AResult.Outcome;
    // The name the output got: another program may have taken the one it was given.
    if (AIndex < VexoC->TaskCount())
      TaskOutputs[static_cast<size_t>(AIndex)] =
          QString::fromStdString(VexoC->Tasks(AIndex).OutputPath);
    ShowTaskEnd(Row, AIndex, AResult);
    emit TaskEnded(Row);
  }

  if (Canceled) {
    SetTitle(QStringLiteral(" [Job Canceled]"));
    ShowConvertCaption(false);
    // What has not ended will not convert now; what ended keeps its own end.
    for (size_t Task = 0; Task < TaskOutcomes.size(); ++Task) {
      const int TaskRow = RowOfTask(static_cast<int>(Task));
      if (TaskRow >= 0 && TaskOutcomes[Task] == TTaskOutcome::toNone)
        lvFiles->SetStatus(TaskRow, StatusCanceled);
    }
    if (AIndex == -1) EndRun();
    return;
  }
  if (AIndex != -1) return;

  SetTitle(QStringLiteral(" [Done]"));
  // Only a run that converted something counts as converted to this format.
  if (std::find(TaskOutcomes.begin(), TaskOutcomes.end(), TTaskOutcome::toConverted) !=
      TaskOutcomes.end())
    LastFormatText = selFormat->currentText();
  VexoC->ClearTasks();
  EndRun();
}

void TfrmMain::EndRun() {
  RunActive = false;
  StopPending = false;
  SetRunControls(false);
  emit RunFinished();
  if (CloseAfterRun) QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

} // namespace pelorix
