// The window without a run: its controls, adding files, the settings it reads and writes,
// the output folder controls, and a picture of it for people to look at.
#include "AppBrand.h"
#include "WindowTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QProcess>
#include <QScreen>
#include <QSettings>
#include <QTextStream>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

using namespace pelorix;
using namespace pelorix::test;

class TWindowTest : public QObject {
  Q_OBJECT

private slots:
  void StartsIdleWithItsFixedControls() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    QCOMPARE(W.minimumSize(), QSize(771, 539));
    QCOMPARE(W.maximumSize(), QSize(771, 539));
    QCOMPARE(H.Title(), QStringLiteral("Pelorix.org"));
    QCOMPARE(H.Control<QComboBox>("selFormat")->currentText(),
             QStringLiteral("XviD Video (*.avi)"));
    // The same-folder box is there to be seen and used, under the output folder.
    auto* Same = H.Control<QCheckBox>("chkSameFolder");
    QVERIFY(Same->isVisible());
    QVERIFY(Same->isEnabled());
    QVERIFY(Same->geometry().top() >= H.Control<QLineEdit>("txtOutput")->geometry().bottom());
    QVERIFY(W.centralWidget()->rect().contains(Same->geometry()));
    QCOMPARE(H.Control<QLineEdit>("txtOutput")->text(), H.OutFolder());
    QCOMPARE(H.Files().editTriggers(), QAbstractItemView::NoEditTriggers);

    // The banner and "Website" open the site, "More Software" its own window.
    QTest::mouseClick(H.Control<QWidget>("Image1"), Qt::LeftButton);
    emit H.Control<QLabel>("lblWebsite")->linkActivated(QStringLiteral("#"));
    emit H.Control<QLabel>("lblMoreSoftware")->linkActivated(QStringLiteral("#"));
    QCOMPARE(H.Dialogs.Urls, (QList<QUrl>{QUrl(SiteAddress), QUrl(SiteAddress)}));
    QCOMPARE(H.Dialogs.MoreSoftware, 1);
  }

  void AddingFilesBuildsTheList() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    H.Add({MediaFile(QStringLiteral("mpeg4_aac.3gp"))});
    QVERIFY(H.Dialogs.FileFilters.value(0).startsWith(QStringLiteral("Media files (")));
    QCOMPARE(H.Files().RowCount(), 1);
    QCOMPARE(H.Files().item(0, 0)->text(), QStringLiteral("mpeg4_aac.3gp"));
    QCOMPARE(H.Files().Status(0), QStringLiteral("Ready"));
    QCOMPARE(H.Files().item(0, 2)->text(), QStringLiteral(PELORIX_TEST_MEDIA_DIR "/"));
    QCOMPARE(H.Title(), QStringLiteral("Pelorix.org [Ready]"));
    QCOMPARE(W.Converter().TaskCount(), 1);
    QCOMPARE(W.focusWidget(), H.Control<QComboBox>("selFormat"));

    // A second add keeps the first row; files that do not open get no row and no message.
    H.Add({MediaFile(QStringLiteral("garbage.bin")), MediaFile(QStringLiteral("tone.mp3")),
           MediaFile(QStringLiteral("empty.avi"))});
    QCOMPARE(H.Files().RowCount(), 2);
    QCOMPARE(H.Files().item(1, 0)->text(), QStringLiteral("tone.mp3"));
    QCOMPARE(W.Converter().TaskCount(), 2);
    QVERIFY(H.Dialogs.Messages.isEmpty());
    QCOMPARE(H.Control<QLabel>("lblSkipped")->text(),
             QStringLiteral("2 files were not added: they are not media files that can be read."));

    // A cancelled dialog changes nothing; the menu item adds like the button.
    H.Button("btnOpen").click();
    QCOMPARE(H.Files().RowCount(), 2);
    H.Dialogs.FileAnswers << QStringList{MediaFile(QStringLiteral("h264_aac.mp4"))};
    H.Control<QAction>("AddFiles1")->trigger();
    QCOMPARE(H.Files().RowCount(), 3);
    QCOMPARE(W.Converter().TaskCount(), 3);
    QVERIFY(H.Control<QLabel>("lblSkipped")->text().isEmpty()); // each add counts anew
  }

  void FilesDroppedOnTheListAreAdded() {
    TWindowHarness H;
    H.Open();
    QMimeData Data;
    Data.setUrls({QUrl::fromLocalFile(MediaFile(QStringLiteral("mpeg4_aac.3gp"))),
                  QUrl(QStringLiteral("https://pelorix.org/clip.3gp")),
                  QUrl::fromLocalFile(MediaFile(QStringLiteral("tone.mp3")))});
    QWidget* Target = H.Files().viewport();
    const QPoint Where = Target->rect().center();
    QDragEnterEvent Enter(Where, Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Target, &Enter);
    QVERIFY(Enter.isAccepted());
    QDropEvent Drop(Where, Qt::CopyAction, &Data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Target, &Drop);
    QCOMPARE(H.Files().RowCount(), 2);
    QCOMPARE(H.Files().item(1, 0)->text(), QStringLiteral("tone.mp3"));
    QCOMPARE(H.Title(), QStringLiteral("Pelorix.org [Ready]"));
    QVERIFY(H.Dialogs.FileFilters.isEmpty());

    // A folder adds the media files it holds, in name order, and none of its folders' files.
    const QString Folder = H.WorkPath(QStringLiteral("dropped"));
    QVERIFY(QDir().mkpath(Folder + QStringLiteral("/inner")));
    QVERIFY(QFile::copy(MediaFile(QStringLiteral("tone.wav")), Folder + QStringLiteral("/b.wav")));
    QVERIFY(
        QFile::copy(MediaFile(QStringLiteral("mpeg4_aac.3gp")), Folder + QStringLiteral("/a.3gp")));
    QVERIFY(
        QFile::copy(MediaFile(QStringLiteral("garbage.bin")), Folder + QStringLiteral("/c.bin")));
    QVERIFY(QFile::copy(MediaFile(QStringLiteral("tone.mp3")),
                        Folder + QStringLiteral("/inner/d.mp3")));
    QMimeData FolderData;
    FolderData.setUrls({QUrl::fromLocalFile(Folder)});
    QDragEnterEvent FolderEnter(Where, Qt::CopyAction, &FolderData, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Target, &FolderEnter);
    QDropEvent FolderDrop(Where, Qt::CopyAction, &FolderData, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Target, &FolderDrop);
    QCOMPARE(H.Files().RowCount(), 4);
    QCOMPARE(H.Files().item(2, 0)->text(), QStringLiteral("a.3gp"));
    QCOMPARE(H.Files().item(3, 0)->text(), QStringLiteral("b.wav"));
    QCOMPARE(H.Control<QLabel>("lblSkipped")->text(),
             QStringLiteral("1 file was not added: it is not a media file that can be read."));
  }

  // The Source cell's tool tip tells what the probe found.
  void TheSourceTipTellsWhatTheFileHolds() {
    TWindowHarness H;
    H.Open();
    H.Add({MediaFile(QStringLiteral("mpeg4_aac.3gp"))});
    QCOMPARE(H.Files().item(0, 0)->toolTip(),
             MediaFile(QStringLiteral("mpeg4_aac.3gp")) +
                 QStringLiteral(
                     "\nDuration: 2.0 s\nVideo: mpeg4, 176x144\nAudio: aac, 1 channels, 16000 Hz"));
  }

  // Rows leave with the Delete key or the menu's "Remove", their tasks with them: the tasks
  // that stay still match their rows.
  void RemovedRowsTakeTheirTasksAlong() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    H.Add({MediaFile(QStringLiteral("mpeg4_aac.3gp")), MediaFile(QStringLiteral("tone.mp3")),
           MediaFile(QStringLiteral("h264_aac.mp4")), MediaFile(QStringLiteral("tone.wav"))});
    QCOMPARE(H.Files().RowCount(), 4);
    H.Files().selectRow(1);
    QTest::keyClick(&H.Files(), Qt::Key_Delete);
    QCOMPARE(H.Files().RowCount(), 3);
    QCOMPARE(W.Converter().TaskCount(), 3);

    H.Files().clearSelection();
    H.Files().setSelectionMode(QAbstractItemView::MultiSelection);
    H.Files().selectRow(0);
    H.Files().selectRow(2);
    H.Control<QAction>("RemoveFiles1")->trigger();
    QCOMPARE(H.Files().RowCount(), 1);
    QCOMPARE(H.Files().item(0, 0)->text(), QStringLiteral("h264_aac.mp4"));
    QCOMPARE(W.Converter().TaskCount(), 1);
    QCOMPARE(QString::fromStdString(W.Converter().Tasks(0).SourcePath),
             MediaFile(QStringLiteral("h264_aac.mp4")));

    // What is left converts under its own name.
    QVERIFY(H.ConvertAndWait());
    QCOMPARE(H.Statuses(), QStringList{QStringLiteral("Done")});
    QVERIFY(QFile::exists(H.OutFolder() + QStringLiteral("/h264_aac (XviD Video).avi")));
  }

  // Needs a process of its own, as every case here has one: a load that succeeded earlier
  // in the process would last.
  void MissingLibraryFolderStopsTheAddBeforeTheDialog() {
    TWindowHarness H(false);
    H.Open();
    H.Add({MediaFile(QStringLiteral("mpeg4_aac.3gp"))});
    QCOMPARE(H.Dialogs.MessageTexts(), QStringList{QStringLiteral("Error: Lib cannot be loaded.")});
    QVERIFY(H.Dialogs.FileFilters.isEmpty());
    QCOMPARE(H.Files().RowCount(), 0);
    H.Button("btnConvert").click();
    QCOMPARE(H.Dialogs.Messages.size(), 2);
    QCOMPARE(H.Dialogs.Messages.last().Text, QStringLiteral("Error: Lib cannot be loaded."));
  }

  void ConvertingAnEmptyListAsksForAFile() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    H.Button("btnConvert").click();
    QCOMPARE(H.Dialogs.Messages.size(), 1);
    QCOMPARE(H.Dialogs.Messages[0].Kind, TMessageKind::mkInformation);
    QCOMPARE(H.Dialogs.Messages[0].Title, QStringLiteral("Information"));
    QCOMPARE(H.Dialogs.Messages[0].Text, QStringLiteral("Please choose a file."));
    QVERIFY(!W.Converting());
    QCOMPARE(W.focusWidget(), &H.Button("btnOpen"));
  }

  void SettingsAreReadAtStartAndWrittenAtClose() {
    TWindowHarness H;
    H.StoreSettings(QStringLiteral("/srv/clips"), QStringLiteral("1"));
    TfrmMain& W = H.Open();
    // A stored same-folder choice disables the folder controls from the start.
    QVERIFY(H.Control<QCheckBox>("chkSameFolder")->isChecked());
    QVERIFY(!H.Control<QLineEdit>("txtOutput")->isEnabled());
    QVERIFY(!H.Button("btnFolderChange").isEnabled());
    QVERIFY(!H.Button("btnBrowse").isEnabled());
    QCOMPARE(H.Control<QLineEdit>("txtOutput")->text(), QStringLiteral("/srv/clips"));
    QCOMPARE(W.SettingsFile(), H.AppFolder() + QStringLiteral("conf.ini"));

    W.close();
    QCOMPARE(H.Dialogs.ClosingBanners, 1);
    QSettings Stored(H.AppFolder() + QStringLiteral("conf.ini"), QSettings::IniFormat);
    QCOMPARE(Stored.value(QStringLiteral("Main/strOutput")).toString(),
             QStringLiteral("/srv/clips"));
    QCOMPARE(Stored.value(QStringLiteral("Main/booSameFolder")).toString(), QStringLiteral("1"));
  }

  void FirstStartUsesTheDefaultFolder() {
    TWindowHarness H;
    TWindowSetup Setup;
    Setup.AppFolder = H.AppFolder();
    Setup.Dialogs = &H.Dialogs;
    TfrmMain W(Setup);
    const QString Default = QDir::homePath() + QStringLiteral("/orvaneVideo");
    QCOMPARE(W.findChild<QLineEdit*>(QStringLiteral("txtOutput"))->text(), Default);
    QVERIFY(!W.findChild<QCheckBox*>(QStringLiteral("chkSameFolder"))->isChecked());
    W.close();
    QSettings Stored(H.AppFolder() + QStringLiteral("conf.ini"), QSettings::IniFormat);
    QCOMPARE(Stored.value(QStringLiteral("Main/strOutput")).toString(), Default);
    QCOMPARE(Stored.value(QStringLiteral("Main/booSameFolder")).toString(), QStringLiteral("0"));
  }

  void SettingsThatCannotBeWrittenAreReportedAndTheWindowCloses() {
    const QByteArray Saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/proc/pelorix-missing-config");
    TScriptedDialogs Dialogs;
    TWindowSetup Setup;
    Setup.AppFolder = QStringLiteral("/proc/pelorix-missing/");
    Setup.Dialogs = &Dialogs;
    {
      TfrmMain W(Setup);
      W.show();
      QVERIFY(W.close());
    }
    qputenv("XDG_CONFIG_HOME", Saved);
    QCOMPARE(Dialogs.MessageTexts(),
             QStringList{QStringLiteral(
                 "Unable to write to /proc/pelorix-missing-config/pelorix/conf.ini")});
  }

  // conf.ini lies beside the program, but its user may not write it: every session reads and
  // writes one and the same file, so a change made in one is there in the next. Each session
  // is a process of its own, run as a user without write access (as root, the test drops to
  // "nobody", since root may write any file).
  void SettingsBesideAProgramItsUserCannotWriteAreKept() {
    QTemporaryDir Root;
    QDir(Root.path()).mkpath(QStringLiteral("prog"));
    QDir(Root.path()).mkpath(QStringLiteral("home"));
    const QString Beside = Root.filePath(QStringLiteral("prog/conf.ini"));
    {
      QFile File(Beside);
      QVERIFY(File.open(QIODevice::WriteOnly));
      File.write("[Main]\nstrOutput=/from/beside\nbooSameFolder=0\n");
    }
    const bool AsRoot = ::geteuid() == 0;
    // The other user runs this test program: every folder above it must let others through.
    if (AsRoot)
      for (QDir Up = QFileInfo(QCoreApplication::applicationFilePath()).dir(); !Up.isRoot();
           Up.cdUp())
        if (!(QFileInfo(Up.path()).permissions() & QFileDevice::ExeOther))
          QSKIP("the build folder is closed to other users");
    QFile::setPermissions(Root.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                           QFileDevice::ExeOther);
    QFile::setPermissions(Root.filePath(QStringLiteral("home")),
                          QFileDevice::Permissions(0x7777)); // anyone may write the home
    QFile::setPermissions(Beside, QFileDevice::ReadOwner | QFileDevice::ReadOther);
    if (!AsRoot)
      QFile::setPermissions(Root.filePath(QStringLiteral("prog")),
                            QFileDevice::ReadOwner | QFileDevice::ExeOwner);

    const auto Session = [&](const QString& ANewFolder) {
      QProcess Child;
      QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
      Environment.insert(QStringLiteral("PELORIX_TEST_CHILD"), QStringLiteral("1"));
      Environment.insert(QStringLiteral("PELORIX_APP_FOLDER"),
                         Root.filePath(QStringLiteral("prog/")));
      Environment.insert(QStringLiteral("PELORIX_NEW_FOLDER"), ANewFolder);
      Environment.insert(QStringLiteral("HOME"), Root.filePath(QStringLiteral("home")));
      Environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                         Root.filePath(QStringLiteral("home/.config")));
      Environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
      Environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
      Child.setProcessEnvironment(Environment);
      if (AsRoot) {
        const passwd* Nobody = ::getpwnam("nobody");
        if (!Nobody) qFatal("no user nobody");
        const uid_t User = Nobody->pw_uid;
        const gid_t Group = Nobody->pw_gid;
        Child.setChildProcessModifier([User, Group] {
          if (::setgroups(0, nullptr) != 0 || ::setgid(Group) != 0 || ::setuid(User) != 0)
            ::_exit(126);
        });
      }
      Child.start(QCoreApplication::applicationFilePath(), {});
      Child.waitForFinished(120000);
      return std::pair{Child.exitCode(),
                       QString::fromUtf8(Child.readAllStandardOutput()).trimmed()};
    };
    const auto First = Session(QStringLiteral("/changed"));
    QCOMPARE(First, (std::pair{0, QStringLiteral("/from/beside")}));
    const auto Second = Session(QString());
    QCOMPARE(Second, (std::pair{0, QStringLiteral("/changed")}));
    QFile File(Beside);
    QVERIFY(File.open(QIODevice::ReadOnly));
    QCOMPARE(File.readAll(), QByteArray("[Main]\nstrOutput=/from/beside\nbooSameFolder=0\n"));
    QFile::setPermissions(Root.filePath(QStringLiteral("prog")), QFileDevice::Permissions(0x7700));
  }

  // The quality level and the copy box sit beside the format without covering anything, are
  // named for assistive tools, and come back in a fresh window as the user left them. The box
  // is greyed, keeping its check, where nothing would be copied.
  void TheQualityAndCopyChoicesSitBesideTheFormatAndAreRemembered() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    auto* Format = H.Control<QComboBox>("selFormat");
    auto* Quality = H.Control<QComboBox>("selQuality");
    auto* Copy = H.Control<QCheckBox>("chkCopyFitting");
    QStringList Levels;
    for (int I = 0; I < Quality->count(); ++I) Levels << Quality->itemText(I);
    QCOMPARE(Levels, (QStringList{QStringLiteral("Smaller file"), QStringLiteral("Balanced"),
                                  QStringLiteral("Better quality")}));
    QCOMPARE(Quality->currentText(), QStringLiteral("Balanced"));
    QVERIFY(Copy->isChecked());
    QVERIFY(Copy->isEnabled()); // XviD still copies fitting sound
    QVERIFY(!Quality->accessibleName().isEmpty());
    QVERIFY(!Copy->accessibleName().isEmpty());

    QCOMPARE(Quality->geometry().top(), Format->geometry().top());
    QVERIFY(Quality->geometry().left() > Format->geometry().right());
    QCOMPARE(Copy->geometry().left(), Format->geometry().left());
    QVERIFY(Copy->geometry().top() > Format->geometry().bottom());
    const QList<QWidget*> Controls =
        W.centralWidget()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget* A : Controls) {
      QVERIFY2(W.centralWidget()->rect().contains(A->geometry()), qPrintable(A->objectName()));
      for (QWidget* B : Controls)
        QVERIFY2(A == B || !A->isVisible() || !B->isVisible() ||
                     !A->geometry().intersects(B->geometry()),
                 qPrintable(A->objectName() + QStringLiteral(" covers ") + B->objectName()));
    }

    const auto Choose = [](QComboBox* ABox, const QString& AText) {
      ABox->setCurrentIndex(ABox->findText(AText));
    };
    Choose(Quality, QStringLiteral("Smaller file"));
    QVERIFY(!Copy->isEnabled());
    QVERIFY(Copy->isChecked());
    Choose(Quality, QStringLiteral("Better quality"));
    QVERIFY(Copy->isEnabled());
    Choose(Format, QStringLiteral("DVD Video (*.mpg)"));
    QVERIFY(!Copy->isEnabled());
    Choose(Format, QStringLiteral("Matroska Video (*.mkv)"));
    QVERIFY(Copy->isEnabled());
    Copy->setChecked(false);
    W.close();
    QSettings Stored(H.AppFolder() + QStringLiteral("conf.ini"), QSettings::IniFormat);
    QCOMPARE(Stored.value(QStringLiteral("Main/strQuality")).toString(), QStringLiteral("better"));
    QCOMPARE(Stored.value(QStringLiteral("Main/booCopyFitting")).toString(), QStringLiteral("0"));

    H.Open();
    QCOMPARE(H.Control<QComboBox>("selQuality")->currentText(), QStringLiteral("Better quality"));
    QVERIFY(!H.Control<QCheckBox>("chkCopyFitting")->isChecked());
    QVERIFY(H.Control<QCheckBox>("chkCopyFitting")->isEnabled());

    // A stored smaller level greys the box from the start; an unknown level is the balanced one.
    for (const auto& [Level, Shown, Enabled] :
         {std::tuple{"smaller", "Smaller file", false}, std::tuple{"best", "Balanced", true}}) {
      H.Window->close();
      QSettings File(H.AppFolder() + QStringLiteral("conf.ini"), QSettings::IniFormat);
      File.setValue(QStringLiteral("Main/strQuality"), QString::fromLatin1(Level));
      File.setValue(QStringLiteral("Main/booCopyFitting"), QStringLiteral("1"));
      File.sync();
      H.Open();
      QCOMPARE(H.Control<QComboBox>("selQuality")->currentText(), QString::fromLatin1(Shown));
      QVERIFY(H.Control<QCheckBox>("chkCopyFitting")->isChecked());
      QCOMPARE(H.Control<QCheckBox>("chkCopyFitting")->isEnabled(), Enabled);
    }
  }

  void TheFolderPickerChangesTheFolderOnlyWhenConfirmed() {
    TWindowHarness H;
    H.Open();
    auto* Output = H.Control<QLineEdit>("txtOutput");
    H.Button("btnFolderChange").click(); // cancelled
    QCOMPARE(Output->text(), H.OutFolder());
    QCOMPARE(H.Dialogs.FolderTitles, QStringList{QStringLiteral("Select an Output Folder:")});
    H.Dialogs.FolderAnswers << QStringLiteral("/srv/new");
    QTest::mouseDClick(Output, Qt::LeftButton); // a double click acts as "Change"
    QCOMPARE(Output->text(), QStringLiteral("/srv/new"));
    QCOMPARE(H.Dialogs.FolderTitles.size(), 2);

    // "Browse" hands the folder to the desktop even when it does not exist.
    H.Button("btnBrowse").click();
    QCOMPARE(H.Dialogs.Urls, QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("/srv/new"))});

    // The same-folder box takes the folder controls with it.
    auto* Same = H.Control<QCheckBox>("chkSameFolder");
    Same->setChecked(true);
    QVERIFY(!Output->isEnabled());
    QVERIFY(!H.Button("btnFolderChange").isEnabled());
    QVERIFY(!H.Button("btnBrowse").isEnabled());
    QTest::mouseDClick(Output, Qt::LeftButton);
    QCOMPARE(H.Dialogs.FolderTitles.size(), 2);
    Same->setChecked(false);
    QVERIFY(Output->isEnabled());
    QVERIFY(H.Button("btnFolderChange").isEnabled());
    QVERIFY(H.Button("btnBrowse").isEnabled());
  }

  // Not a check of behaviour: pictures of the window in the build tree, for people: empty,
  // converting ten files of different kinds (read at the pace they play, so the rows are
  // caught moving) and after the run.
  void RendersAPictureOfTheWindow() {
    TWindowHarness H;
    H.AdjustInput = [](TInputOptions& AOptions) { AOptions.ExtOptions = "re=1"; };
    TfrmMain& W = H.Open();
    QVERIFY(W.grab().save(QStringLiteral(PELORIX_TEST_OUTPUT_DIR "/pelorix-window-empty.png")));
    QStringList Files;
    for (const char* Name :
         {"mpeg4_aac.3gp", "h264_aac.mp4", "tone.mp3", "tagged.flac", "multi.mkv",
          "theora_vorbis.ogg", "wmv.asf", "mpeg1.mpg", "mpeg4_mp3.avi", "tone.wav"})
      Files << MediaFile(QLatin1String(Name));
    H.Add(Files);
    QCOMPARE(H.Files().RowCount(), 10);
    W.activateWindow();
    QSignalSpy Finished(&W, &TfrmMain::RunFinished);
    H.Button("btnConvert").click();
    // Caught with a file done and one showing its time left (sound alone is not paced).
    const auto Caught = [&H] {
      bool Done = false, Left = false;
      for (int Row = 0; Row < H.Files().RowCount(); ++Row) {
        Done = Done || H.Files().Status(Row) == StatusDone;
        Left = Left || H.Files().StatusDetail(Row).contains(QStringLiteral("left"));
      }
      return Done && Left;
    };
    QTRY_VERIFY_WITH_TIMEOUT(Caught(), 120000);
    QVERIFY(W.grab().save(QStringLiteral(PELORIX_TEST_OUTPUT_DIR "/pelorix-window-running.png")));
    // On an X screen (a desktop session or a virtual one), also the screen as the server shows
    // it.
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
      QVERIFY(W.screen()->grabWindow(0).save(
          QStringLiteral(PELORIX_TEST_OUTPUT_DIR "/pelorix-screen-running.png")));
    QVERIFY(Finished.wait(150000));
    const QString Path = QStringLiteral(PELORIX_TEST_OUTPUT_DIR "/pelorix-window.png");
    QVERIFY(W.grab().save(Path));
    QVERIFY(QFileInfo(Path).size() > 0);
  }

  // On a screen of twice the density the window keeps its layout at twice the pixels, and its
  // pictures are drawn at that density, not blown up (a session of its own, scaled).
  void TheWindowScalesOnADoubleDensityScreen() {
    QProcess Child;
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    Environment.insert(QStringLiteral("PELORIX_TEST_CHILD"), QStringLiteral("scaled"));
    Environment.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("2"));
    Environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    Child.setProcessEnvironment(Environment);
    Child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(Child.waitForFinished(120000));
    const QStringList Lines =
        QString::fromUtf8(Child.readAllStandardOutput()).trimmed().split(QLatin1Char('\n'));
    QCOMPARE(Child.exitCode(), 0);
    QCOMPARE(Lines,
             (QStringList{QStringLiteral("window 771x539"), QStringLiteral("picture 1542x1078"),
                          QStringLiteral("icon 64x64"), QStringLiteral("banner sharp")}));
  }
};

// The scaled session: the window's size, its picture's pixels, the window icon's pixels at the
// window's 32-pixel size, and whether the banner's edge is drawn at the screen's density (a
// picture blown up from half the pixels repeats every pixel twice).
int ScaledSession() {
  TScriptedDialogs Dialogs;
  QTemporaryDir App;
  TWindowSetup Setup;
  Setup.AppFolder = App.path() + QLatin1Char('/');
  Setup.Dialogs = &Dialogs;
  Setup.DataFolder = App.filePath(QStringLiteral("data"));
  TfrmMain Window(Setup);
  Window.show();
  const QPixmap Picture = Window.grab();
  const QImage Banner = Window.findChild<QWidget*>(QStringLiteral("Image1"))->grab().toImage();
  // The banner's name is drawn in white on the gradient: in a blown-up picture every column
  // of a row equals its neighbour in pairs.
  bool Sharp = false;
  for (int Y = 0; Y < Banner.height() && !Sharp; ++Y)
    for (int X = 0; X + 1 < Banner.width(); X += 2)
      if (Banner.pixel(X, Y) != Banner.pixel(X + 1, Y)) {
        Sharp = true;
        break;
      }
  const QSize Icon = Window.windowIcon().pixmap(QSize(32, 32), Window.devicePixelRatio()).size();
  QTextStream(stdout)
      << QStringLiteral("window %1x%2\n").arg(Window.width()).arg(Window.height())
      << QStringLiteral("picture %1x%2\n").arg(Picture.width()).arg(Picture.height())
      << QStringLiteral("icon %1x%2\n").arg(Icon.width()).arg(Icon.height())
      << (Sharp ? "banner sharp" : "banner blown up") << Qt::endl;
  return 0;
}

// A session of the settings test: the window at $PELORIX_APP_FOLDER shows its output folder on
// standard output, takes $PELORIX_NEW_FOLDER through the folder picker when one is given, and
// closes (writing its settings). Status 1 when the window said it could not write them.
int SettingsSession() {
  if (qEnvironmentVariable("PELORIX_TEST_CHILD") == QLatin1String("scaled")) return ScaledSession();
  TScriptedDialogs Dialogs;
  TWindowSetup Setup;
  Setup.AppFolder = qEnvironmentVariable("PELORIX_APP_FOLDER");
  Setup.Dialogs = &Dialogs;
  TfrmMain Window(Setup);
  Window.show();
  QTextStream(stdout) << Window.findChild<QLineEdit*>(QStringLiteral("txtOutput"))->text()
                      << Qt::endl;
  const QString NewFolder = qEnvironmentVariable("PELORIX_NEW_FOLDER");
  if (!NewFolder.isEmpty()) {
    Dialogs.FolderAnswers << NewFolder;
    Window.findChild<QAbstractButton*>(QStringLiteral("btnFolderChange"))->click();
  }
  Window.close();
  return Dialogs.Messages.isEmpty() ? 0 : 1;
}

PELORIX_WINDOW_TEST_MAIN_WITH_CHILD(TWindowTest, SettingsSession)
#include "WindowTest.moc"
