// The list as a user keeps it: adding many files in one dialog, the dialog's filters and
// folder, removing rows after a run, using a converted file, the keyboard, and a list that
// survives the program's end.
#include "WindowTestSupport.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QTextStream>

#include <atomic>

using namespace pelorix;
using namespace pelorix::test;

namespace {

const QString Clip = QStringLiteral("mpeg4_aac.3gp");
// tone.mp3 converted to XviD: its MP3 sound goes over unchanged.
const QString ToneDone = QStringLiteral("Done (audio copied)");

// The filter of the dialog's text named AName: its patterns.
QStringList FilterPatterns(const QString& AFilters, const QString& AName) {
  for (const QString& Filter : AFilters.split(QStringLiteral(";;"))) {
    if (!Filter.startsWith(AName + QStringLiteral(" ("))) continue;
    return Filter.mid(AName.size() + 2).chopped(1).split(QLatin1Char(' '));
  }
  return {};
}

QJsonArray SavedRows(const QString& AListFile) {
  QFile File(AListFile);
  if (!File.open(QIODevice::ReadOnly)) return {};
  return QJsonDocument::fromJson(File.readAll()).object().value(QStringLiteral("rows")).toArray();
}

void DoubleClickRow(TFileList& AList, int ARow) {
  QVERIFY(QTest::qWaitForWindowExposed(AList.window()));
  const QRect Cell = AList.visualRect(AList.model()->index(ARow, 0));
  QVERIFY(Cell.isValid());
  QTest::mouseClick(AList.viewport(), Qt::LeftButton, {}, Cell.center());
  QTest::mouseDClick(AList.viewport(), Qt::LeftButton, {}, Cell.center());
}

} // namespace

class TListTest : public QObject {
  Q_OBJECT

private slots:
  // One dialog takes many files; its filters come from the libraries; the files that do not
  // open are counted on the line under the list; the dialog opens where the last add chose.
  void ManyFilesInOneDialogFromTheRememberedFolder() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    QStringList Titles;
    connect(&W, &QWidget::windowTitleChanged, this,
            [&](const QString& ATitle) { Titles << ATitle; });
    H.Add({MediaFile(Clip), MediaFile(QStringLiteral("h264_aac.mp4")),
           MediaFile(QStringLiteral("garbage.bin")), MediaFile(QStringLiteral("tone.mp3")),
           MediaFile(QStringLiteral("tagged.flac")), MediaFile(QStringLiteral("multi.mkv"))});
    QCOMPARE(H.Files().RowCount(), 5);
    QCOMPARE(W.Converter().TaskCount(), 5);
    QCOMPARE(H.Files().item(4, 0)->text(), QStringLiteral("multi.mkv"));
    QCOMPARE(H.Control<QLabel>("lblSkipped")->text(),
             QStringLiteral("1 file was not added: it is not a media file that can be read."));
    QCOMPARE(Titles, QStringList{QStringLiteral("Pelorix.org [Ready]")}); // no title per file

    const QString Filters = H.Dialogs.FileFilters.value(0);
    QVERIFY(Filters.startsWith(QStringLiteral("Media files (")));
    QVERIFY(Filters.endsWith(QStringLiteral(";;All files (*)")));
    const QStringList Media = FilterPatterns(Filters, QStringLiteral("Media files"));
    for (const char* Extension : {"*.mp4", "*.mkv", "*.mp3", "*.flac", "*.3gp", "*.avi", "*.wav"})
      QVERIFY2(Media.contains(QLatin1String(Extension)), Extension);
    const QStringList Video = FilterPatterns(Filters, QStringLiteral("Video files"));
    const QStringList Audio = FilterPatterns(Filters, QStringLiteral("Audio files"));
    for (const char* Extension : {"*.mp4", "*.mkv", "*.3gp", "*.avi"})
      QVERIFY2(Video.contains(QLatin1String(Extension)) &&
                   !Audio.contains(QLatin1String(Extension)),
               Extension);
    for (const char* Extension : {"*.mp3", "*.flac", "*.wav"})
      QVERIFY2(Audio.contains(QLatin1String(Extension)) &&
                   !Video.contains(QLatin1String(Extension)),
               Extension);
    QCOMPARE(Video.size() + Audio.size(), Media.size());

    // The first dialog starts at home, the next where the files were chosen, also after the
    // next start.
    QCOMPARE(H.Dialogs.FileFolders.value(0), QDir::homePath());
    H.Add({MediaFile(QStringLiteral("tone.wav"))});
    QCOMPARE(H.Files().RowCount(), 6);
    QCOMPARE(H.Dialogs.FileFolders.value(1), QStringLiteral(PELORIX_TEST_MEDIA_DIR));
    W.close();
    H.Open();
    H.Add({});
    QCOMPARE(H.Dialogs.FileFolders.value(2), QStringLiteral(PELORIX_TEST_MEDIA_DIR));
  }

  // After a run that finished, and after one that was stopped, a row leaves with its task and
  // nothing is said; the rows left still convert.
  void RowsLeaveAfterAFinishedAndAfterAStoppedRun() {
    TWindowHarness H;
    H.Open();
    H.Add({MediaFile(Clip), MediaFile(QStringLiteral("tone.mp3"))});
    QVERIFY(H.ConvertAndWait());
    H.Files().selectRow(0);
    QTest::keyClick(&H.Files(), Qt::Key_Delete);
    QVERIFY(H.Dialogs.Messages.isEmpty());
    QCOMPARE(H.Files().RowCount(), 1);
    QCOMPARE(H.Files().item(0, 0)->text(), QStringLiteral("tone.mp3"));
    QCOMPARE(H.Statuses(), QStringList{ToneDone});

    // A stopped run: the first file is held until the stop, the others never start.
    std::atomic<bool> Reached = false, Go = false;
    TfrmMain& Held = H.Open([](TOutputOptions& AOptions) { AOptions.CustomHook = true; });
    Held.Converter().SetOnCustomHook([&](int, THookBitmap&, int, int64_t, bool&, bool&) {
      Reached = true;
      Go.wait(false);
    });
    H.Add({MediaFile(Clip), MediaFile(Clip), MediaFile(QStringLiteral("h264_aac.mp4"))});
    QSignalSpy Finished(&Held, &TfrmMain::RunFinished);
    H.Button("btnConvert").click();
    QTRY_VERIFY_WITH_TIMEOUT(Reached, 60000);
    H.Button("btnConvert").click(); // "Stop"
    Go = true;
    Go.notify_all();
    QVERIFY(Finished.wait(120000));
    H.Files().selectRow(1);
    H.Control<QAction>("RemoveFiles1")->trigger();
    QVERIFY(H.Dialogs.Messages.isEmpty());
    QCOMPARE(H.Files().RowCount(), 2);
    QCOMPARE(H.Files().item(1, 0)->text(), QStringLiteral("h264_aac.mp4"));
    QVERIFY(H.ConvertAndWait());
    QCOMPARE(H.Statuses(), (QStringList{StatusDone, StatusDone}));
    QVERIFY(QFile::exists(H.OutFolder() + QStringLiteral("/h264_aac (XviD Video).avi")));
  }

  // A done row's output opens with a double click or "Open output"; "Show in folder" opens
  // its folder. Rows that are not done hand nothing over.
  void ADoneRowOpensItsOutputOrItsFolder() {
    TWindowHarness H;
    H.Open();
    H.Add({MediaFile(Clip), MediaFile(QStringLiteral("tone.mp3"))});
    QVERIFY(H.ConvertAndWait());
    const QString First = H.OutFolder() + QStringLiteral("/mpeg4_aac (XviD Video).avi");
    const QString Second = H.OutFolder() + QStringLiteral("/tone (XviD Video).avi");
    DoubleClickRow(H.Files(), 1);
    QCOMPARE(H.Desktop.OpenedFiles, QStringList{Second});
    H.Files().selectRow(0);
    auto* Open = H.Control<QAction>("OpenOutput1");
    auto* Folder = H.Control<QAction>("ShowInFolder1");
    QVERIFY(Open->isEnabled() && Folder->isEnabled());
    Open->trigger();
    Folder->trigger();
    QCOMPARE(H.Desktop.OpenedFiles, (QStringList{Second, First}));
    QCOMPARE(H.Desktop.OpenedFolders, QStringList{H.OutFolder()});

    // A row that is not done: the menu's actions are off and a double click does nothing.
    H.Add({MediaFile(Clip)});
    H.Files().selectRow(0);
    QVERIFY(!Open->isEnabled() && !Folder->isEnabled());
    DoubleClickRow(H.Files(), 0);
    Open->trigger();
    QCOMPARE(H.Desktop.OpenedFiles.size(), 2);
  }

  // Ctrl+O adds, Delete removes, Ctrl+Return converts and stops; every control has a name a
  // screen reader can say.
  void TheKeyboardReachesEverythingAndEveryControlIsNamed() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    W.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&W));
    H.Dialogs.FileAnswers << QStringList{MediaFile(Clip), MediaFile(QStringLiteral("tone.mp3"))};
    QTest::keyClick(&W, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(H.Files().RowCount(), 2);
    H.Files().setFocus();
    H.Files().selectRow(1);
    QTest::keyClick(&H.Files(), Qt::Key_Delete);
    QCOMPARE(H.Files().RowCount(), 1);
    QSignalSpy Finished(&W, &TfrmMain::RunFinished);
    QTest::keyClick(&W, Qt::Key_Return, Qt::ControlModifier);
    QVERIFY(W.Converting());
    QVERIFY(Finished.wait(120000));
    QCOMPARE(H.Statuses(), QStringList{StatusDone});

    for (QWidget* Control : W.findChildren<QWidget*>()) {
      const bool Interactive =
          qobject_cast<QAbstractButton*>(Control) || qobject_cast<QComboBox*>(Control) ||
          qobject_cast<QLineEdit*>(Control) || qobject_cast<QAbstractItemView*>(Control) ||
          Control->objectName() == QLatin1String("Image1") ||
          Control->objectName().startsWith(QLatin1String("lbl"));
      if (!Interactive || Control->objectName().isEmpty()) continue;
      QVERIFY2(!Control->accessibleName().isEmpty(), qPrintable(Control->objectName()));
    }
    QCOMPARE(H.Button("btnConvert").accessibleName(), QStringLiteral("Convert"));
  }

  // The list is saved on every change. The program is ended in the middle of a run (a
  // process of its own, killed): at the next start the finished row is "Done", the one that
  // was converting is "Ready" with its unfinished output gone, and converting again converts
  // only that one.
  void TheListSurvivesTheProgramsEndMidRun() {
    TWindowHarness H;
    QProcess Child;
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    Environment.insert(QStringLiteral("PELORIX_TEST_CHILD"), QStringLiteral("1"));
    Environment.insert(QStringLiteral("PELORIX_APP_FOLDER"), H.AppFolder());
    Environment.insert(QStringLiteral("PELORIX_DATA_FOLDER"), H.DataFolder());
    Environment.insert(QStringLiteral("PELORIX_OUT_FOLDER"), H.OutFolder());
    Environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    Child.setProcessEnvironment(Environment);
    Child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(Child.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(Child.canReadLine() || Child.state() != QProcess::Running, 120000);
    QCOMPARE(QString::fromUtf8(Child.readLine()).trimmed(), QStringLiteral("converting"));
    Child.kill();
    QVERIFY(Child.waitForFinished());

    const QString Done = H.OutFolder() + QStringLiteral("/tone (XviD Video).avi");
    const QString Partial = H.OutFolder() + QStringLiteral("/mpeg4_aac (XviD Video).avi");
    // The unfinished file is the run's hidden temporary one; the output's name was never given.
    const auto Unfinished = [&H] {
      return QDir(H.OutFolder()).entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden);
    };
    QVERIFY(QFile::exists(Done));
    QVERIFY(!QFile::exists(Partial));
    QCOMPARE(Unfinished().size(), 1);
    TfrmMain& W = H.Open();
    QCOMPARE(H.Files().RowCount(), 2);
    // The finished row still says its sound went over unchanged.
    QCOMPARE(H.Statuses(), (QStringList{ToneDone, StatusReady}));
    QCOMPARE(H.Files().item(0, 1)->toolTip(),
             Done + QStringLiteral("\nThe audio was copied unchanged, not encoded again"));
    QCOMPARE(H.Control<QComboBox>("selFormat")->currentText(),
             QStringLiteral("XviD Video (*.avi)"));
    QVERIFY(Unfinished().isEmpty());
    QVERIFY(QFile::exists(Done));

    QVERIFY(H.ConvertAndWait());
    QCOMPARE(H.Statuses(), (QStringList{ToneDone, StatusDone}));
    QVERIFY(QFile::exists(Partial));
    QVERIFY(!QFile::exists(H.OutFolder() + QStringLiteral("/tone (XviD Video) [1].avi")));
    const QJsonArray Rows = SavedRows(W.ListFile());
    QCOMPARE(Rows.size(), 2);
    QCOMPARE(Rows[1].toObject().value(QStringLiteral("state")).toString(), QStringLiteral("done"));
    QCOMPARE(Rows[1].toObject().value(QStringLiteral("output")).toString(), Partial);

    // Removing a row is a change too.
    H.Files().selectRow(0);
    QTest::keyClick(&H.Files(), Qt::Key_Delete);
    QCOMPARE(SavedRows(W.ListFile()).size(), 1);
  }

  // A saved list that cannot be read is set aside, and the window starts empty saying so.
  void ADamagedListIsSetAside() {
    TWindowHarness H;
    QDir().mkpath(H.DataFolder());
    const QString List = H.DataFolder() + QStringLiteral("/list.json");
    {
      QFile File(List);
      QVERIFY(File.open(QIODevice::WriteOnly));
      File.write("{\"version\": 1, \"rows\": [{\"source\": \"/x.avi\", \"sta");
    }
    H.Open();
    QCOMPARE(H.Files().RowCount(), 0);
    const QString Line = H.Control<QLabel>("lblSkipped")->text();
    QVERIFY2(
        Line.startsWith(QStringLiteral("The saved list could not be read; it was set aside as ")),
        qPrintable(Line));
    QVERIFY(!QFile::exists(List));
    const QStringList Aside =
        QDir(H.DataFolder()).entryList({QStringLiteral("list.json.damaged-*")}, QDir::Files);
    QCOMPARE(Aside.size(), 1);
    QVERIFY(Line.contains(Aside[0]));

    // The next list is saved as usual and read back at the next start.
    H.Add({MediaFile(Clip)});
    H.Open();
    QCOMPARE(H.Files().RowCount(), 1);
    QVERIFY(H.Control<QLabel>("lblSkipped")->text().isEmpty());

    // A waiting row whose file has gone since comes back failed, saying why.
    QFile::copy(MediaFile(Clip), H.WorkPath(QStringLiteral("gone.3gp")));
    H.Add({H.WorkPath(QStringLiteral("gone.3gp"))});
    QFile::remove(H.WorkPath(QStringLiteral("gone.3gp")));
    H.Open();
    QCOMPARE(H.Statuses(), (QStringList{StatusReady, StatusFailed}));
    QCOMPARE(H.Files().item(1, 1)->toolTip(), QStringLiteral("The file can no longer be opened."));
  }
};

// The session the list test ends mid-run: converts tone.mp3, then holds mpeg4_aac.3gp at its
// first picture, says "converting" once the list tells the first is done, and waits to be
// killed.
int MidRunSession() {
  TScriptedDialogs Dialogs;
  TScriptedDesktop Desktop;
  TWindowSetup Setup;
  Setup.AppFolder = qEnvironmentVariable("PELORIX_APP_FOLDER");
  Setup.DataFolder = qEnvironmentVariable("PELORIX_DATA_FOLDER");
  Setup.Dialogs = &Dialogs;
  Setup.Desktop = &Desktop;
  Setup.AdjustOutput = [](TOutputOptions& AOptions) { AOptions.CustomHook = true; };
  TfrmMain Window(Setup);
  Window.show();
  std::atomic<bool> Held = false;
  Window.Converter().SetOnCustomHook([&Held](int AIndex, THookBitmap&, int, int64_t, bool&, bool&) {
    if (AIndex != 1) return;
    Held = true;
    for (;;) QThread::sleep(1); // until the process is killed
  });
  Dialogs.FolderAnswers << qEnvironmentVariable("PELORIX_OUT_FOLDER");
  Window.findChild<QAbstractButton*>(QStringLiteral("btnFolderChange"))->click();
  Dialogs.FileAnswers << QStringList{MediaFile(QStringLiteral("tone.mp3")), MediaFile(Clip)};
  Window.findChild<QAbstractButton*>(QStringLiteral("btnOpen"))->click();
  Window.findChild<QAbstractButton*>(QStringLiteral("btnConvert"))->click();
  const auto& Rows = Window.RowStates();
  if (!QTest::qWaitFor([&] { return Held && Rows.Row(0).State == TRowState::rsDone; }, 120000))
    return 1;
  QTextStream(stdout) << "converting" << Qt::endl;
  QTest::qWait(600000);
  return 2;
}

PELORIX_WINDOW_TEST_MAIN_WITH_CHILD(TListTest, MidRunSession)
#include "ListTest.moc"
