// The main window: its controls, start-up and closing, and adding files to the list.
#include "MainWindow.h"

#include "AppBrand.h"
#include "AppTexts.h"
#include "FileList.h"
#include "InputExtensions.h"
#include "OpenFilters.h"
#include "OutputFormats.h"
#include "ProgramFolder.h"
#include "SourceSummary.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QToolButton>

#include <exception>

namespace pelorix {

namespace {
// The client area; the window manager's frame carries the title.
constexpr int ClientWidth = 771;
constexpr int ClientHeight = 539;

QString WithSeparator(QString AFolder) {
  if (!AFolder.endsWith(QLatin1Char('/'))) AFolder += QLatin1Char('/');
  return AFolder;
}

QString DefaultAppFolder() { return QString::fromStdString(ProgramFolder()); }

// The two large buttons: the picture above the caption.
QToolButton* MakeBigButton(QWidget* AParent, const QString& AName, const QString& AText) {
  auto* Button = new QToolButton(AParent);
  Button->setObjectName(AName);
  Button->setText(AText);
  Button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  Button->setIconSize(QSize(32, 32));
  Button->setFocusPolicy(Qt::StrongFocus);
  return Button;
}

QLabel* MakeLink(QWidget* AParent, const QString& AName, const QString& AText) {
  auto* Link = new QLabel(QStringLiteral("<a href=\"#\">%1</a>").arg(AText), AParent);
  Link->setObjectName(AName);
  Link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  Link->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  return Link;
}
} // namespace

TfrmMain::TfrmMain(const TWindowSetup& ASetup)
    : AppFolderText(
          WithSeparator(ASetup.AppFolder.isEmpty() ? DefaultAppFolder() : ASetup.AppFolder)),
      Dialogs(ASetup.Dialogs ? *ASetup.Dialogs : static_cast<TDialogs&>(DesktopDialogs)),
      Desktop(ASetup.Desktop ? *ASetup.Desktop : static_cast<TDesktop&>(DesktopServices)),
      Settings(AppFolderText.toStdString()),
      SavedList(ASetup.DataFolder.isEmpty() ? UserDataFolder() : ASetup.DataFolder),
      Processors(ASetup.Processors > 0 ? ASetup.Processors
                                       : std::max(1, QThread::idealThreadCount())),
      AdjustOutput(ASetup.AdjustOutput), AdjustInput(ASetup.AdjustInput),
      VexoC(std::make_unique<TVexoConverter>()) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowIcon(AppIcon());
  CreateControls();
  ConnectConverter();
  selFormat->setCurrentIndex(0);
  ReadSettings();
  SetTitle(QString());
  RestoreList();
  // From now on a change of format is a change of the list.
  connect(selFormat, &QComboBox::currentIndexChanged, this, [this] { SaveList(); });

  // Fixed size, so the smallest-size rule of a resizable window has nothing to refuse.
  setFixedSize(ClientWidth, ClientHeight);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  if (const QScreen* Screen = QGuiApplication::primaryScreen())
    move(Screen->availableGeometry().center() - rect().center());
}

TfrmMain::~TfrmMain() {
  // No event may reach the window once it goes: unhook, then let the tasks end.
  VexoC->SetOnProgress(nullptr);
  VexoC->SetOnTerminate(nullptr);
  VexoC->Stop();
  VexoC.reset();
}

void TfrmMain::CreateControls() {
  auto* Client = new QWidget(this);
  setCentralWidget(Client);

  Image1 = new TBanner(Client);
  Image1->setGeometry(5, 0, 761, 100);
  Image1->setAccessibleName(QStringLiteral("Pelorix web site"));
  connect(Image1, &TBanner::Clicked, this, [this] { Dialogs.OpenUrl(QUrl(SiteAddress)); });

  btnOpen = MakeBigButton(Client, QStringLiteral("btnOpen"), QStringLiteral("Add..."));
  btnOpen->setGeometry(5, 113, 94, 72);
  btnOpen->setToolTip(QStringLiteral("Open one or more videos to the list (Ctrl+O)"));
  btnOpen->setAccessibleName(QStringLiteral("Add files"));
  btnOpen->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
  connect(btnOpen, &QToolButton::clicked, this, [this] { Guarded([this] { btnOpenClick(); }); });

  btnConvert = MakeBigButton(Client, QStringLiteral("btnConvert"), QStringLiteral("Convert!"));
  btnConvert->setGeometry(125, 113, 94, 72);
  btnConvert->setToolTip(QStringLiteral("Convert all the videos from the list (Ctrl+Return)"));
  btnConvert->setAccessibleName(QStringLiteral("Convert"));
  btnConvert->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  connect(btnConvert, &QToolButton::clicked, this,
          [this] { Guarded([this] { btnConvertClick(); }); });

  StaticText1 = new QLabel(QStringLiteral("Output Format:"), Client);
  StaticText1->setObjectName(QStringLiteral("StaticText1"));
  StaticText1->move(241, 120);
  StaticText1->adjustSize();

  // The format list leaves the row's right part (from x 610) to the quality level.
  selFormat = new QComboBox(Client);
  selFormat->setObjectName(QStringLiteral("selFormat"));
  selFormat->setGeometry(350, 117, 250, 22);
  selFormat->setAccessibleName(QStringLiteral("Output format"));
  StaticText1->setBuddy(selFormat);
  for (const TOutputFormat& Format : OutputFormats())
    selFormat->addItem(QString::fromStdString(Format.Text));
  CreateQualityControls(Client);

  lblMoreSoftware =
      MakeLink(Client, QStringLiteral("lblMoreSoftware"), QStringLiteral("More Software"));
  // Under the copy box, level with the big buttons' captions.
  lblMoreSoftware->setGeometry(350, 163, 174, 22);
  lblMoreSoftware->setAccessibleName(QStringLiteral("More Software"));
  connect(lblMoreSoftware, &QLabel::linkActivated, this,
          [this] { Dialogs.ShowMoreSoftware(this); });
  lblWebsite = MakeLink(Client, QStringLiteral("lblWebsite"), QStringLiteral("Website"));
  lblWebsite->setGeometry(618, 163, 94, 22);
  lblWebsite->setAccessibleName(QStringLiteral("Website"));
  connect(lblWebsite, &QLabel::linkActivated, this, [this] { Dialogs.OpenUrl(QUrl(SiteAddress)); });

  lvFiles = new TFileList(Client);
  lvFiles->setGeometry(5, 200, 760, 269);
  lvFiles->setAccessibleName(QStringLiteral("Files to convert"));
  CreateListMenu();

  lblSkipped = new QLabel(Client);
  lblSkipped->setObjectName(QStringLiteral("lblSkipped"));
  lblSkipped->setGeometry(7, 470, 756, 16);
  lblSkipped->setAccessibleName(QStringLiteral("List messages"));

  StaticText2 = new QLabel(QStringLiteral("Output Folder:"), Client);
  StaticText2->setObjectName(QStringLiteral("StaticText2"));
  StaticText2->move(5, 492);
  StaticText2->adjustSize();

  txtOutput = new QLineEdit(QString::fromStdString(DefaultOutputFolder()), Client);
  txtOutput->setObjectName(QStringLiteral("txtOutput"));
  txtOutput->setGeometry(108, 490, 428, 22);
  txtOutput->setReadOnly(true);
  txtOutput->setAccessibleName(QStringLiteral("Output folder"));
  txtOutput->installEventFilter(this);
  StaticText2->setBuddy(txtOutput);

  btnFolderChange = new QPushButton(QStringLiteral("Change"), Client);
  btnFolderChange->setObjectName(QStringLiteral("btnFolderChange"));
  btnFolderChange->setGeometry(558, 488, 94, 26);
  btnFolderChange->setAccessibleName(QStringLiteral("Change the output folder"));
  connect(btnFolderChange, &QPushButton::clicked, this,
          [this] { Guarded([this] { btnFolderChangeClick(); }); });

  btnBrowse = new QPushButton(QStringLiteral("Browse"), Client);
  btnBrowse->setObjectName(QStringLiteral("btnBrowse"));
  btnBrowse->setGeometry(671, 488, 94, 26);
  btnBrowse->setAccessibleName(QStringLiteral("Browse the output folder"));
  connect(btnBrowse, &QPushButton::clicked, this,
          [this] { Guarded([this] { btnBrowseClick(); }); });

  // Under the output folder, which it stands in for when checked.
  chkSameFolder =
      new QCheckBox(QStringLiteral("Use the same directory to the source file"), Client);
  chkSameFolder->setObjectName(QStringLiteral("chkSameFolder"));
  chkSameFolder->move(108, 515);
  chkSameFolder->adjustSize();
  chkSameFolder->setAccessibleName(QStringLiteral("Save beside the source files"));
  // Connected before the settings are read: a stored true must reach the rule.
  connect(chkSameFolder, &QCheckBox::toggled, this, [this] { chkSameFolderClick(); });

  // Ctrl+Return converts, or stops a run, from anywhere in the window.
  ConvertKey = new QAction(QStringLiteral("Convert or stop"), this);
  ConvertKey->setObjectName(QStringLiteral("ConvertKey"));
  ConvertKey->setShortcuts(
      {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
  connect(ConvertKey, &QAction::triggered, this, [this] {
    if (btnConvert->isEnabled()) btnConvert->click();
  });
  addAction(ConvertKey);
}

void TfrmMain::CreateListMenu() {
  AddFiles1 = new QAction(QStringLiteral("Add File(s)"), this);
  AddFiles1->setObjectName(QStringLiteral("AddFiles1"));
  AddFiles1->setShortcut(QKeySequence::Open);
  connect(AddFiles1, &QAction::triggered, this, [this] {
    if (AddFiles1->isEnabled()) Guarded([this] { btnOpenClick(); });
  });
  addAction(AddFiles1); // Ctrl+O from anywhere in the window

  OpenOutput1 = new QAction(QStringLiteral("Open output"), this);
  OpenOutput1->setObjectName(QStringLiteral("OpenOutput1"));
  connect(OpenOutput1, &QAction::triggered, this,
          [this] { Guarded([this] { OpenOutput(CurrentRow()); }); });
  ShowInFolder1 = new QAction(QStringLiteral("Show in folder"), this);
  ShowInFolder1->setObjectName(QStringLiteral("ShowInFolder1"));
  connect(ShowInFolder1, &QAction::triggered, this,
          [this] { Guarded([this] { ShowOutputFolder(CurrentRow()); }); });
  RemoveFiles1 = new QAction(QStringLiteral("Remove"), this);
  RemoveFiles1->setObjectName(QStringLiteral("RemoveFiles1"));
  RemoveFiles1->setShortcut(QKeySequence::Delete);
  connect(RemoveFiles1, &QAction::triggered, this,
          [this] { Guarded([this] { RemoveSelectedRows(); }); });

  auto* ListMenu = new QMenu(lvFiles);
  ListMenu->setObjectName(QStringLiteral("pmFiles"));
  ListMenu->addAction(AddFiles1);
  ListMenu->addSeparator();
  ListMenu->addAction(OpenOutput1);
  ListMenu->addAction(ShowInFolder1);
  ListMenu->addSeparator();
  ListMenu->addAction(RemoveFiles1);
  connect(lvFiles, &TFileList::RemoveRequested, this,
          [this] { Guarded([this] { RemoveSelectedRows(); }); });
  connect(lvFiles, &TFileList::FilesDropped, this,
          [this](const QStringList& AFiles) { Guarded([&] { FilesDropped(AFiles); }); });
  connect(lvFiles, &QWidget::customContextMenuRequested, this,
          [this, ListMenu](const QPoint& APos) {
            UpdateListActions();
            ListMenu->popup(lvFiles->viewport()->mapToGlobal(APos));
          });
  connect(lvFiles, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& AIndex) {
    Guarded([&] {
      if (AIndex.isValid() && Rows.Row(AIndex.row()).State == TRowState::rsDone)
        OpenOutput(AIndex.row());
    });
  });
  connect(lvFiles->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { UpdateListActions(); });
  UpdateListActions();
}

void TfrmMain::SetTitle(const QString& ASuffix) { setWindowTitle(AppTitle + ASuffix); }

void TfrmMain::Guarded(const std::function<void()>& ABody) {
  try {
    ABody();
  } catch (const std::exception& AError) {
    Dialogs.Message(this, TMessageKind::mkPlain, AppTitle, QString::fromStdString(AError.what()));
  } catch (...) {
    Dialogs.Message(this, TMessageKind::mkPlain, AppTitle, texts::ErrorFound);
  }
}

bool TfrmMain::CheckLibraries() {
  return VexoC->LoadLibraries(LibraryFolder().toStdString(), true);
}

bool TfrmMain::LoadConverterLibraries() {
  if (VexoC->LoadLibraries(LibraryFolder().toStdString(), true)) return true;
  Dialogs.Message(this, TMessageKind::mkPlain, AppTitle, texts::LibraryError);
  return false;
}

int TfrmMain::CreateTask(const QString& AFile, bool& AOpened) {
  TAVProbe& Probe = VexoC->Probe();
  AOpened = Probe.Open(AFile.toStdString());
  if (!AOpened) return -1;
  TInputOptions Options;
  InitInputOptions(Options);
  Options.FileName = AFile.toStdString();
  if (AdjustInput) AdjustInput(Options);
  const int Index = VexoC->AddTask(AFile.toStdString(), &Options);
  Probe.Close();
  return Index;
}

void TfrmMain::btnOpenClick() {
  if (RunActive) return;
  if (!LoadConverterLibraries()) return;
  const QString Start =
      !OpenFolder.isEmpty() && QFileInfo(OpenFolder).isDir() ? OpenFolder : QDir::homePath();
  const QStringList Files = Dialogs.OpenFiles(this, OpenFileFilters(InputExtensions()), Start);
  if (Files.isEmpty()) return;
  OpenFolder = QFileInfo(Files.constFirst()).absolutePath();
  AddFiles(Files);
}

void TfrmMain::FilesDropped(const QStringList& AFiles) {
  // Like "Add...": never during a run, and only with the libraries at hand.
  if (RunActive || !btnOpen->isEnabled()) return;
  if (!LoadConverterLibraries()) return;
  // A folder adds the files it holds (not those of its folders), in name order; the ones that
  // are not media are passed over like any other file that does not open.
  QStringList Files;
  for (const QString& Path : AFiles) {
    const QFileInfo Info(Path);
    if (!Info.isDir()) {
      Files << Path;
      continue;
    }
    for (const QFileInfo& Entry :
         QDir(Path).entryInfoList(QDir::Files | QDir::Readable, QDir::Name | QDir::IgnoreCase))
      Files << Entry.absoluteFilePath();
  }
  AddFiles(Files);
}

void TfrmMain::ForgetTasks() {
  VexoC->ClearTasks();
  TaskRows.clear();
  TaskOutcomes.clear();
}

void TfrmMain::RemoveSelectedRows() {
  if (RunActive) return;
  for (const int Row : lvFiles->SelectedRowsFromLast()) {
    // The row's task, if it has one, leaves with it; the rows after it move up.
    for (size_t Task = 0; Task < TaskRows.size(); ++Task) {
      if (TaskRows[Task] != Row) continue;
      VexoC->RemoveTask(static_cast<int>(Task));
      TaskRows.erase(TaskRows.begin() + static_cast<std::ptrdiff_t>(Task));
      if (Task < TaskOutcomes.size())
        TaskOutcomes.erase(TaskOutcomes.begin() + static_cast<std::ptrdiff_t>(Task));
      break;
    }
    for (int& Later : TaskRows)
      if (Later > Row) --Later;
    lvFiles->RemoveRow(Row);
    Rows.Remove(Row);
    if (static_cast<size_t>(Row) < RowInRun.size())
      RowInRun.erase(RowInRun.begin() + static_cast<std::ptrdiff_t>(Row));
  }
  SaveList();
  UpdateListActions();
}

int TfrmMain::AppendRow(const TRowRecord& ARecord, const QString& ASummary) {
  const int Row = lvFiles->AddRow(ARecord.Source, ASummary);
  Rows.Append(ARecord);
  RowInRun.push_back(false);
  ShowRow(Row);
  return Row;
}

void TfrmMain::ShowRow(int ARow) {
  const TRowRecord& Row = Rows.Row(ARow);
  lvFiles->SetStatus(ARow, StatusText(Row), StatusTip(Row),
                     Row.State == TRowState::rsConverting ? ProgressDetail(Row) : QString());
}

void TfrmMain::AddFiles(const QStringList& AFiles) {
  if (VexoC->TaskCount() == 0 || Canceled) {
    lvFiles->Clear();
    Rows.Clear();
    RowInRun.clear();
    ForgetTasks();
    Canceled = false;
  }
  int Skipped = 0;
  for (int Position = 0; Position < AFiles.size(); ++Position) {
    const QString File = QFileInfo(AFiles[Position]).absoluteFilePath();
    // One line tells how far the adding has come; it is drawn at once, the adding holds the
    // event loop.
    if (AFiles.size() > 1) {
      lblSkipped->setText(QStringLiteral("Adding file %1 of %2: %3")
                              .arg(Position + 1)
                              .arg(AFiles.size())
                              .arg(QFileInfo(File).fileName()));
      lblSkipped->repaint();
    }
    // A file that does not open, or whose task cannot be made, gets no row: it is counted.
    bool Opened = false;
    const int Index = CreateTask(File, Opened);
    if (Index < 0) {
      ++Skipped;
      continue;
    }
    const TProbeSummary Source = VexoC->Tasks(Index).Source;
    TRowRecord Record;
    Record.Source = File;
    Record.LengthMs = SourceLengthUS(Source) / 1000;
    TaskRows.push_back(AppendRow(Record, SourceSummary(Source)));
  }
  if (lvFiles->RowCount() > 0) SetTitle(QStringLiteral(" [Ready]"));
  lblSkipped->setText(
      Skipped == 0 ? QString()
      : Skipped == 1
          ? QStringLiteral("1 file was not added: it is not a media file that can be read.")
          : QStringLiteral("%1 files were not added: they are not media files that can be read.")
                .arg(Skipped));
  SaveList();
  UpdateListActions();
  selFormat->setFocus();
}

void TfrmMain::DoLoadFromList() {
  if (!LoadConverterLibraries()) return;
  for (int Row = 0; Row < lvFiles->RowCount(); ++Row) {
    // A row whose file no longer opens keeps its status and gets no task.
    bool Opened = false;
    if (CreateTask(Rows.Row(Row).Source, Opened) < 0) {
      if (Opened) {
        Rows.Fail(Row, QString::fromStdString(VexoC->LastError()));
        ShowRow(Row);
      }
      continue;
    }
    Rows.SetReady(Row);
    ShowRow(Row);
    TaskRows.push_back(Row);
  }
}

void TfrmMain::SaveList() {
  if (Restoring || Closing) return;
  SavedList.Save(selFormat->currentText(), Rows);
}

void TfrmMain::RestoreList() {
  QString Format, SetAside;
  TRowStates Restored;
  const TListLoad Loaded = SavedList.Load(Format, Restored, SetAside);
  if (Loaded == TListLoad::llSetAside) {
    lblSkipped->setText(
        QStringLiteral("The saved list could not be read; it was set aside as %1.").arg(SetAside));
    return;
  }
  if (Loaded != TListLoad::llLoaded || Restored.Count() == 0) return;
  Restoring = true;
  const int Stored = selFormat->findText(Format, Qt::MatchExactly);
  if (Stored >= 0) selFormat->setCurrentIndex(Stored);
  // Rows waiting to convert get their tasks again; rows that ended show how they ended.
  const bool Libraries = VexoC->LoadLibraries(LibraryFolder().toStdString(), true);
  for (int I = 0; I < Restored.Count(); ++I) {
    TRowRecord Record = Restored.Row(I);
    QString Summary;
    int Index = -1;
    if (Libraries && Record.State == TRowState::rsReady) {
      bool Opened = false;
      Index = CreateTask(Record.Source, Opened);
      if (Index >= 0) {
        const TProbeSummary Source = VexoC->Tasks(Index).Source;
        Summary = SourceSummary(Source);
        Record.LengthMs = SourceLengthUS(Source) / 1000;
      } else {
        // Gone or changed since: the row says so instead of waiting for a run it cannot join.
        Record.State = TRowState::rsFailed;
        Record.Reason = Opened ? QString::fromStdString(VexoC->LastError())
                               : QStringLiteral("The file can no longer be opened.");
      }
    }
    const int Row = AppendRow(Record, Summary);
    if (Index >= 0) TaskRows.push_back(Row);
  }
  Restoring = false;
  SetTitle(QStringLiteral(" [Ready]"));
  SaveList();
  UpdateListActions();
}

int TfrmMain::CurrentRow() const {
  const QModelIndex Current = lvFiles->currentIndex();
  if (Current.isValid() && lvFiles->selectionModel()->isRowSelected(Current.row()))
    return Current.row();
  const std::vector<int> Selected = lvFiles->SelectedRowsFromLast();
  return Selected.empty() ? -1 : Selected.back();
}

void TfrmMain::UpdateListActions() {
  const int Row = CurrentRow();
  const bool Done = Row >= 0 && Row < Rows.Count() && Rows.Row(Row).State == TRowState::rsDone;
  OpenOutput1->setEnabled(Done);
  ShowInFolder1->setEnabled(Done);
}

void TfrmMain::OpenOutput(int ARow) {
  if (ARow < 0 || ARow >= Rows.Count() || Rows.Row(ARow).State != TRowState::rsDone) return;
  Desktop.OpenFile(Rows.Row(ARow).Output);
}

void TfrmMain::ShowOutputFolder(int ARow) {
  if (ARow < 0 || ARow >= Rows.Count() || Rows.Row(ARow).State != TRowState::rsDone) return;
  Desktop.OpenFolder(QFileInfo(Rows.Row(ARow).Output).absolutePath());
}

void TfrmMain::closeEvent(QCloseEvent* AEvent) {
  if (RunActive) {
    // Let the run finalise its output first; the final event closes the window again.
    CloseAfterRun = true;
    StopRun();
    AEvent->ignore();
    return;
  }
  if (!Closing) {
    SaveList();
    Closing = true;
    WriteSettings();
    hide();
    Dialogs.ShowClosingBanner(this);
  }
  AEvent->accept();
}

bool TfrmMain::eventFilter(QObject* AWatched, QEvent* AEvent) {
  if (AWatched == txtOutput && AEvent->type() == QEvent::MouseButtonDblClick) {
    Guarded([this] { btnFolderChangeClick(); });
    return true;
  }
  return QMainWindow::eventFilter(AWatched, AEvent);
}

} // namespace pelorix
