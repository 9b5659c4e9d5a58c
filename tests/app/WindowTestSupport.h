// What the window tests share: scripted dialogs, a window built in a temporary program
// folder (with a "lib" link to the build's library folder), and the small steps a person
// takes with it. Every wait is on a signal or a condition, never on a clock.
#pragma once

#include "DialogSeam.h"
#include "FileList.h"
#include "MainWindow.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QList>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <memory>

namespace pelorix::test {

inline QString MediaFile(const QString& AName) {
  return QStringLiteral(PELORIX_TEST_MEDIA_DIR "/") + AName;
}

struct TShownMessage {
  TMessageKind Kind;
  QString Title;
  QString Text;
};

// Answers every dialog from queues the test fills; an empty queue answers "cancel" / "No".
class TScriptedDialogs final : public TDialogs {
public:
  QList<QStringList> FileAnswers;
  QList<QString> FolderAnswers;
  QList<bool> AskAnswers;

  QList<TShownMessage> Messages;
  QStringList Questions;
  QStringList FolderTitles;
  QStringList FileFilters;
  QStringList FileFolders; // where each open dialog started
  QList<QUrl> Urls;
  int ClosingBanners = 0;
  int MoreSoftware = 0;

  QStringList OpenFiles(QWidget*, const QString& AFilters, const QString& AFolder) override {
    FileFilters << AFilters;
    FileFolders << AFolder;
    return FileAnswers.isEmpty() ? QStringList() : FileAnswers.takeFirst();
  }
  QString PickFolder(QWidget*, const QString& ATitle) override {
    FolderTitles << ATitle;
    return FolderAnswers.isEmpty() ? QString() : FolderAnswers.takeFirst();
  }
  void Message(QWidget*, TMessageKind AKind, const QString& ATitle, const QString& AText) override {
    Messages.append({AKind, ATitle, AText});
  }
  bool Ask(QWidget*, const QString&, const QString& AText) override {
    Questions << AText;
    return !AskAnswers.isEmpty() && AskAnswers.takeFirst();
  }
  void OpenUrl(const QUrl& AUrl) override { Urls << AUrl; }
  void ShowClosingBanner(QWidget*) override { ++ClosingBanners; }
  void ShowMoreSoftware(QWidget*) override { ++MoreSoftware; }

  QStringList MessageTexts() const {
    QStringList Texts;
    for (const TShownMessage& M : Messages) Texts << M.Text;
    return Texts;
  }
};

// Records what the window hands to the desktop.
class TScriptedDesktop final : public TDesktop {
public:
  QStringList OpenedFiles;
  QStringList OpenedFolders;
  void OpenFile(const QString& AFile) override { OpenedFiles << AFile; }
  void OpenFolder(const QString& AFolder) override { OpenedFolders << AFolder; }
};

// A program folder of its own per test, so no test writes beside the real program.
class TWindowHarness {
public:
  explicit TWindowHarness(bool AWithLibraries = true) {
    if (AWithLibraries)
      QFile::link(QStringLiteral(PELORIX_LIBRARY_FOLDER), AppDir.filePath(QStringLiteral("lib")));
    QDir(Work.path()).mkpath(QStringLiteral("out"));
  }

  // The folder the program would live in, ending with a separator.
  QString AppFolder() const { return AppDir.path() + QLatin1Char('/'); }
  QString OutFolder() const { return Work.filePath(QStringLiteral("out")); }
  QString WorkPath(const QString& AName) const { return Work.filePath(AName); }
  // Where the window saves its list: the harness's own, kept across its windows.
  QString DataFolder() const { return Work.filePath(QStringLiteral("data")); }

  // Stores settings as a previous session would have left them.
  void StoreSettings(const QString& AOutput, const QString& ASameFolder) const {
    QFile File(AppDir.filePath(QStringLiteral("conf.ini")));
    QVERIFY(File.open(QIODevice::WriteOnly));
    File.write(QStringLiteral("[Main]\nstrOutput=%1\nbooSameFolder=%2\n")
                   .arg(AOutput, ASameFolder)
                   .toUtf8());
  }

  // The window, its output folder set to OutFolder() unless settings were stored.
  TfrmMain& Open(std::function<void(TOutputOptions&)> AAdjust = nullptr) {
    if (!QFile::exists(AppDir.filePath(QStringLiteral("conf.ini"))))
      StoreSettings(OutFolder(), QStringLiteral("0"));
    TWindowSetup Setup;
    Setup.AppFolder = AppFolder();
    Setup.Dialogs = &Dialogs;
    Setup.Desktop = &Desktop;
    Setup.DataFolder = DataFolder();
    Setup.Processors = Processors;
    Setup.AdjustOutput = std::move(AAdjust);
    Setup.AdjustInput = AdjustInput;
    Window.reset();
    Window = std::make_unique<TfrmMain>(Setup);
    Window->show();
    return *Window;
  }

  template <class T> T* Control(const char* AName) const {
    T* Found = Window->findChild<T*>(QString::fromLatin1(AName));
    if (!Found) qFatal("no control %s", AName);
    return Found;
  }
  TFileList& Files() const { return *Control<TFileList>("lvFiles"); }
  QAbstractButton& Button(const char* AName) const { return *Control<QAbstractButton>(AName); }
  QString Title() const { return Window->windowTitle(); }
  QStringList Statuses() const {
    QStringList Texts;
    for (int Row = 0; Row < Files().RowCount(); ++Row) Texts << Files().Status(Row);
    return Texts;
  }

  // "Add..." with AFiles chosen in the dialog.
  void Add(const QStringList& AFiles) {
    Dialogs.FileAnswers << AFiles;
    Button("btnOpen").click();
  }
  // "Convert!", then waits for the run's final event. False when no run started.
  bool ConvertAndWait() {
    QSignalSpy Finished(Window.get(), &TfrmMain::RunFinished);
    Button("btnConvert").click();
    if (!Window->Converting()) return false;
    return Finished.wait(120000);
  }

  TScriptedDialogs Dialogs;
  TScriptedDesktop Desktop;
  int Processors = 2; // files at once for the audio entries, whatever the machine
  std::function<void(TInputOptions&)> AdjustInput; // given to the next window opened
  std::unique_ptr<TfrmMain> Window;

private:
  QTemporaryDir AppDir;
  QTemporaryDir Work;
};

// The test's own home, so that nothing a window writes reaches the real one.
inline void IsolateHome() {
  static QTemporaryDir Home;
  qputenv("HOME", Home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", (Home.path() + QStringLiteral("/.config")).toUtf8());
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
}

} // namespace pelorix::test

// The tests' main: an offscreen application with the C numeric locale, as the program has. A
// test program may also serve as a child process of its own tests: with PELORIX_TEST_CHILD in
// its environment it runs AChild (a callable returning the exit status) instead, with the
// environment its parent gave it.
#define PELORIX_WINDOW_TEST_MAIN_WITH_CHILD(TestClass, AChild) \
  int main(int argc, char** argv) { \
    if (qEnvironmentVariableIsSet("PELORIX_TEST_CHILD")) { \
      QApplication Application(argc, argv); \
      return AChild(); \
    } \
    pelorix::test::IsolateHome(); \
    QApplication Application(argc, argv); \
    std::setlocale(LC_NUMERIC, "C"); \
    TestClass Test; \
    return QTest::qExec(&Test, argc, argv); \
  }
#define PELORIX_WINDOW_TEST_MAIN(TestClass) \
  PELORIX_WINDOW_TEST_MAIN_WITH_CHILD(TestClass, [] { return 2; })
