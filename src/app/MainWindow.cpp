// The main window: its controls, start-up and closing, and adding files to the list.
#include "MainWindow.h"

#include "AppBrand.h"
#include "AppTexts.h"
#include "FileList.h"
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
      Settings(AppFolderText.toStdString()), AdjustOutput(ASetup.AdjustOutput),
      VexoC(std::make_unique<TVexoConverter>()) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowIcon(AppIcon());
  CreateControls();
  ConnectConverter();
  selFormat->setCurrentIndex(0);
  ReadSettings();
  SetTitle(QString());

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
  connect(Image1, &TBanner::Clicked, this, [this] { Dialogs.OpenUrl(QUrl(SiteAddress)); });

  btnOpen = MakeBigButton(Client, QStringLiteral("btnOpen"), QStringLiteral("Add..."));
  btnOpen->setGeometry(5, 113, 94, 72);
  btnOpen->setToolTip(QStringLiteral("Open one or more videos to the list"));
  btnOpen->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
  connect(btnOpen, &QToolButton::clicked, this, [this] { Guarded([this] { btnOpenClick(); }); });

  btnConvert = MakeBigButton(Client, QStringLiteral("btnConvert"), QStringLiteral("Convert!"));
  btnConvert->setGeometry(125, 113, 94, 72);
  btnConvert->setToolTip(QStringLiteral("Convert all the videos from the list"));
  btnConvert->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  connect(btnConvert, &QToolButton::clicked, this,
          [this] { Guarded([this] { btnConvertClick(); }); });

  StaticText1 = new QLabel(QStringLiteral("Output Format:"), Client);
  StaticText1->setObjectName(QStringLiteral("StaticText1"));
  StaticText1->move(241, 120);
  StaticText1->adjustSize();

  selFormat = new QComboBox(Client);
  selFormat->setObjectName(QStringLiteral("selFormat"));
  selFormat->setGeometry(350, 117, 415, 22);
  for (const TOutputFormat& Format : OutputFormats())
    selFormat->addItem(QString::fromStdString(Format.Text));

  lblMoreSoftware =
      MakeLink(Client, QStringLiteral("lblMoreSoftware"), QStringLiteral("More Software"));
  lblMoreSoftware->setGeometry(350, 152, 174, 33);
  connect(lblMoreSoftware, &QLabel::linkActivated, this,
          [this] { Dialogs.ShowMoreSoftware(this); });
  lblWebsite = MakeLink(Client, QStringLiteral("lblWebsite"), QStringLiteral("Website"));
  lblWebsite->setGeometry(618, 152, 94, 33);
  connect(lblWebsite, &QLabel::linkActivated, this, [this] { Dialogs.OpenUrl(QUrl(SiteAddress)); });

  lvFiles = new TFileList(Client);
  lvFiles->setGeometry(5, 200, 760, 269);
  AddFiles1 = new QAction(QStringLiteral("Add File(s)"), this);
  AddFiles1->setObjectName(QStringLiteral("AddFiles1"));
  connect(AddFiles1, &QAction::triggered, this, [this] { Guarded([this] { btnOpenClick(); }); });
  auto* ListMenu = new QMenu(lvFiles);
  ListMenu->setObjectName(QStringLiteral("pmFiles"));
  ListMenu->addAction(AddFiles1);
  ListMenu->addSeparator();
  RemoveFiles1 = new QAction(QStringLiteral("Remove"), this);
  RemoveFiles1->setObjectName(QStringLiteral("RemoveFiles1"));
  connect(RemoveFiles1, &QAction::triggered, this,
          [this] { Guarded([this] { RemoveSelectedRows(); }); });
  ListMenu->addAction(RemoveFiles1);
  connect(lvFiles, &TFileList::RemoveRequested, this,
          [this] { Guarded([this] { RemoveSelectedRows(); }); });
  connect(lvFiles, &TFileList::FilesDropped, this,
          [this](const QStringList& AFiles) { Guarded([&] { FilesDropped(AFiles); }); });
  connect(lvFiles, &QWidget::customContextMenuRequested, this,
          [this, ListMenu](const QPoint& APos) {
            ListMenu->popup(lvFiles->viewport()->mapToGlobal(APos));
          });

  lblSkipped = new QLabel(Client);
  lblSkipped->setObjectName(QStringLiteral("lblSkipped"));
  lblSkipped->setGeometry(7, 470, 756, 16);

  StaticText2 = new QLabel(QStringLiteral("Output Folder:"), Client);
  StaticText2->setObjectName(QStringLiteral("StaticText2"));
  StaticText2->move(5, 492);
  StaticText2->adjustSize();

  txtOutput = new QLineEdit(QString::fromStdString(DefaultOutputFolder()), Client);
  txtOutput->setObjectName(QStringLiteral("txtOutput"));
  txtOutput->setGeometry(108, 490, 428, 22);
  txtOutput->setReadOnly(true);
  txtOutput->installEventFilter(this);

  btnFolderChange = new QPushButton(QStringLiteral("Change"), Client);
  btnFolderChange->setObjectName(QStringLiteral("btnFolderChange"));
  btnFolderChange->setGeometry(558, 488, 94, 26);
  connect(btnFolderChange, &QPushButton::clicked, this,
          [this] { Guarded([this] { btnFolderChangeClick(); }); });

  btnBrowse = new QPushButton(QStringLiteral("Browse"), Client);
  btnBrowse->setObjectName(QStringLiteral("btnBrowse"));
  btnBrowse->setGeometry(671, 488, 94, 26);
  connect(btnBrowse, &QPushButton::clicked, this,
          [this] { Guarded([this] { btnBrowseClick(); }); });

  chkSameFolder =
      new QCheckBox(QStringLiteral("Use the same directory to the source file"), Client);
  chkSameFolder->setObjectName(QStringLiteral("chkSameFolder"));
  chkSameFolder->move(125, 509);
  chkSameFolder->adjustSize();
  chkSameFolder->setVisible(false);
  chkSameFolder->setEnabled(false);
  // Connected before the settings are read: a stored true must reach the rule.
  connect(chkSameFolder, &QCheckBox::toggled, this, [this] { chkSameFolderClick(); });
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

int TfrmMain::CreateTask(const QString& AFile, int APosition, bool& AOpened) {
  TAVProbe& Probe = VexoC->Probe();
  AOpened = Probe.Open(AFile.toStdString());
  if (!AOpened) return -1;
  SetTitle(QStringLiteral(" [Loading File %1...]").arg(APosition));
  TInputOptions Options;
  InitInputOptions(Options);
  Options.FileName = AFile.toStdString();
  const int Index = VexoC->AddTask(AFile.toStdString(), &Options);
  Probe.Close();
  return Index;
}

void TfrmMain::btnOpenClick() {
  if (RunActive) return;
  if (!LoadConverterLibraries()) return;
  const QStringList Files = Dialogs.OpenFiles(this, texts::OpenFilters);
  if (Files.isEmpty()) return;
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

void TfrmMain::RemoveSelectedRows() {
  if (RunActive) return;
  for (const int Row : lvFiles->SelectedRowsFromLast()) {
    // The row's task, if it has one, leaves with it; the rows after it move up.
    for (size_t Task = 0; Task < TaskRows.size(); ++Task) {
      if (TaskRows[Task] != Row) continue;
      VexoC->RemoveTask(static_cast<int>(Task));
      TaskRows.erase(TaskRows.begin() + static_cast<std::ptrdiff_t>(Task));
      if (Task < TaskOutputs.size())
        TaskOutputs.erase(TaskOutputs.begin() + static_cast<std::ptrdiff_t>(Task));
      if (Task < TaskOutcomes.size())
        TaskOutcomes.erase(TaskOutcomes.begin() + static_cast<std::ptrdiff_t>(Task));
      break;
    }
    for (int& Later : TaskRows)
      if (Later > Row) --Later;
    lvFiles->RemoveRow(Row);
  }
}

void TfrmMain::AddFiles(const QStringList& AFiles) {
  if (VexoC->TaskCount() == 0 || Canceled) {
    lvFiles->Clear();
    VexoC->ClearTasks();
    TaskRows.clear();
    TaskOutputs.clear();
    TaskOutcomes.clear();
    Canceled = false;
  }
  int Skipped = 0;
  for (int Position = 0; Position < AFiles.size(); ++Position) {
    const QString File = QFileInfo(AFiles[Position]).absoluteFilePath();
    // A file that does not open, or whose task cannot be made, gets no row: it is counted.
    bool Opened = false;
    const int Index = CreateTask(File, Position + 1, Opened);
    if (Index < 0) {
      ++Skipped;
      continue;
    }
    TaskRows.push_back(lvFiles->AddRow(File, SourceSummary(VexoC->Tasks(Index).Source)));
  }
  if (lvFiles->RowCount() > 0) SetTitle(QStringLiteral(" [Ready]"));
  lblSkipped->setText(
      Skipped == 0 ? QString()
      : Skipped == 1
          ? QStringLiteral("1 file was not added: it is not a media file that can be read.")
          : QStringLiteral("%1 files were not added: they are not media files that can be read.")
                .arg(Skipped));
  selFormat->setFocus();
}

void TfrmMain::DoLoadFromList() {
  if (!LoadConverterLibraries()) return;
  for (int Row = 0; Row < lvFiles->RowCount(); ++Row) {
    // A row whose file no longer opens keeps its status and gets no task.
    bool Opened = false;
    if (CreateTask(lvFiles->FullPath(Row), Row + 1, Opened) < 0) {
      if (Opened) lvFiles->SetStatus(Row, StatusFailed, QString::fromStdString(VexoC->LastError()));
      continue;
    }
    lvFiles->SetStatus(Row, StatusReady);
    TaskRows.push_back(Row);
  }
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
