// TfrmMain: the Pelorix window. It lists the source files, offers the output format and the
// output folder, and drives the converter VexoC: adding files creates their tasks, "Convert!"
// gives every task its output and starts the run, "Stop" stops it.
//
// Threads: everything here runs on the GUI thread. VexoC raises its progress and end events
// on worker threads under its lock; the handlers only copy the values and queue them to this
// window, in raise order, without waiting for it. Row i of lvFiles belongs to the task whose
// index TaskRows maps to it; a row's end is drawn from its task's outcome, never from the
// text its cell shows.
#pragma once

#include "AppSettings.h"
#include "DialogSeam.h"
#include "VexoConverter.h"

#include <QMainWindow>

#include <functional>
#include <memory>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace pelorix {

class TBanner;
class TFileList;

// What a window is built with; tests give their own folder and dialogs.
struct TWindowSetup {
  QString AppFolder; // ends with a separator; empty: the program's own folder
  TDialogs* Dialogs = nullptr; // null: the desktop's dialogs
  // Called with every task's output record before it is handed over; tests use it to reach
  // into a run (for example through the custom hook). Null in the program.
  std::function<void(TOutputOptions&)> AdjustOutput;
};

class TfrmMain final : public QMainWindow {
  Q_OBJECT
public:
  explicit TfrmMain(const TWindowSetup& ASetup = {});
  ~TfrmMain() override;

  const QString& AppFolder() const { return AppFolderText; }
  QString LibraryFolder() const { return AppFolderText + QStringLiteral("lib"); }
  QString SettingsFile() const { return QString::fromStdString(Settings.FilePath()); }
  // Loads the media libraries from the library folder, without a message. The installation
  // check uses it.
  bool CheckLibraries();
  bool Converting() const { return RunActive; }
  // The converter itself, for tests that watch a run from its worker thread.
  TVexoConverter& Converter() { return *VexoC; }
  bool JobCanceled() const { return Canceled; }
  const QString& LastFormat() const { return LastFormatText; }

signals:
  // A run's final event has been handled: the window is idle again.
  void RunFinished();
  // A task's end has been shown in its row.
  void TaskEnded(int ARow);

protected:
  void closeEvent(QCloseEvent* AEvent) override;
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
  void CreateControls();
  void ConnectConverter();
  void SetTitle(const QString& ASuffix);
  // Runs a handler body; an exception becomes a message box instead of leaving the slot.
  void Guarded(const std::function<void()>& ABody);

  // Adding files and rebuilding the tasks from the rows.
  void btnOpenClick();
  // Adds AFiles as the open dialog would; files dropped onto the list come here too.
  void AddFiles(const QStringList& AFiles);
  void FilesDropped(const QStringList& AFiles);
  // Removes the selected rows and their tasks, while no run goes on.
  void RemoveSelectedRows();
  bool LoadConverterLibraries();
  // Opens AFile with the component's probe and creates its task: the task's index, or -1
  // (AOpened tells whether the probe could open the file). APosition is shown in the title.
  int CreateTask(const QString& AFile, int APosition, bool& AOpened);
  void DoLoadFromList();

  // The run.
  void btnConvertClick();
  void StopRun();
  void StartRun();
  bool SetOutput(int AIndex, const QString& AEntryText);
  void SetRunControls(bool ARunning);
  void ShowConvertCaption(bool ARunning);
  void VexoCProgress(int AIndex, int ACurrentDuration, int ATotalOutputDuration);
  void VexoCTerminate(int AIndex, const TTaskResult& AResult);
  // The row of task AIndex as the task ended.
  void ShowTaskEnd(int ARow, int AIndex, const TTaskResult& AResult);
  bool TaskHasEnded(int AIndex) const;
  void EndRun();
  int RowOfTask(int AIndex) const;

  // The output folder and the same-folder choice.
  void ReadSettings();
  bool WriteSettings();
  void btnFolderChangeClick();
  void btnBrowseClick();
  void chkSameFolderClick();

  QString AppFolderText;
  TDesktopDialogs DesktopDialogs;
  TDialogs& Dialogs;
  TAppSettings Settings;
  std::function<void(TOutputOptions&)> AdjustOutput;

  TBanner* Image1 = nullptr;
  QToolButton* btnOpen = nullptr;
  QToolButton* btnConvert = nullptr;
  QLabel* StaticText1 = nullptr;
  QComboBox* selFormat = nullptr;
  QLabel* lblMoreSoftware = nullptr;
  QLabel* lblWebsite = nullptr;
  TFileList* lvFiles = nullptr;
  QAction* AddFiles1 = nullptr;
  QAction* RemoveFiles1 = nullptr;
  QLabel* StaticText2 = nullptr;
  QLabel* lblSkipped = nullptr; // under the list: how many files the last add passed over
  QLineEdit* txtOutput = nullptr;
  QPushButton* btnFolderChange = nullptr;
  QPushButton* btnBrowse = nullptr;
  QCheckBox* chkSameFolder = nullptr;

  bool Canceled = false; // JobCanceled: the user stopped the last run
  QString LastFormatText; // LastFormat: the entry of the last run that ended unstopped
  bool RunActive = false; // from Start until the final event has been handled
  bool StopPending = false; // Stop was asked during the current run
  bool CloseAfterRun = false; // the user closed the window during a run
  bool Closing = false; // the settings are written, the window is going
  std::vector<int> TaskRows; // task index -> row
  std::vector<QString> TaskOutputs; // task index -> output file
  std::vector<TTaskOutcome> TaskOutcomes; // task index -> how it ended (toNone: not yet)

  // Declared last: destroyed first, before the widgets its events reach.
  std::unique_ptr<TVexoConverter> VexoC;
};

} // namespace pelorix
