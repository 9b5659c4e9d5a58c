// TfrmMain: the Pelorix window. It lists the source files, offers the output format and the
// output folder, and drives the converter VexoC: adding files creates their tasks, "Convert!"
// gives every task its output and starts the run, "Stop" stops it.
//
// Threads: everything here runs on the GUI thread. VexoC raises its progress and end events
// on worker threads under its lock; the handlers only copy the values and queue them to this
// window, in raise order, without waiting for it. Every row's state lives in Rows (a
// TRowStates); the cells are drawn from it, never read back. Task i belongs to row
// TaskRows[i]; a row's end comes from its task's outcome. The list is saved (TSavedList) on
// every change and restored at the next start.
#pragma once

#include "AppSettings.h"
#include "DesktopSeam.h"
#include "DialogSeam.h"
#include "OutputFormats.h"
#include "RowStates.h"
#include "SavedList.h"
#include "VexoConverter.h"

#include <QElapsedTimer>
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
  TDesktop* Desktop = nullptr; // null: the desktop's services
  QString DataFolder; // where the list is saved; empty: UserDataFolder()
  // Files converted at once when the chosen entry's encoders use one core each; 0: the
  // processors' count.
  int Processors = 0;
  // Called with every task's output record before it is handed over; tests use it to reach
  // into a run (for example through the custom hook). Null in the program.
  std::function<void(TOutputOptions&)> AdjustOutput;
  // The same for every task's input record, before its task is made.
  std::function<void(TInputOptions&)> AdjustInput;
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
  // The file the list is saved in.
  QString ListFile() const { return SavedList.FilePath(); }
  // How many files the current (or last) run converted at once.
  int FilesAtOnce() const { return RunThreadCount; }
  // The row states the cells show.
  const TRowStates& RowStates() const { return Rows; }

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
  void CreateListMenu();
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
  // Clears the converter's tasks and everything kept per task; the rows stay.
  void ForgetTasks();
  // Appends a row for ARecord (its source's task, if any, is the caller's).
  int AppendRow(const TRowRecord& ARecord, const QString& ASummary);
  // Draws row ARow's cells from its state.
  void ShowRow(int ARow);
  // The list as it stands, into the saved list.
  void SaveList();
  void RestoreList();

  // Using a converted file: the row's output, opened or shown in its folder.
  void OpenOutput(int ARow);
  void ShowOutputFolder(int ARow);
  int CurrentRow() const;
  void UpdateListActions();
  bool LoadConverterLibraries();
  // Opens AFile with the component's probe and creates its task: the task's index, or -1
  // (AOpened tells whether the probe could open the file).
  int CreateTask(const QString& AFile, bool& AOpened);
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
  // Row ARow as its task ended.
  void ShowTaskEnd(int ARow, const TTaskResult& AResult);
  bool TaskHasEnded(int AIndex) const;
  void EndRun();
  int RowOfTask(int AIndex) const;
  // The title during a run: "[2 of 5, 43%]".
  void ShowRunTitle();
  // One box naming every file of the run that failed; nothing when none did.
  void ShowFailures();

  // The quality level and the copy choice beside the format (QualityChoice.cpp).
  void CreateQualityControls(QWidget* AClient);
  // What the next conversions take: the level shown and whether fitting streams are copied.
  TEncodingChoice EncodingChoice() const;
  // The copy box counts only where the chosen entry at the chosen level may copy a stream;
  // elsewhere it is greyed, keeping the user's choice for when it counts again.
  void UpdateCopyFitting();
  // The entry the format list shows.
  const TOutputFormat& ChosenFormat() const;

  // The output folder and the same-folder choice.
  void ReadSettings();
  bool WriteSettings();
  void btnFolderChangeClick();
  void btnBrowseClick();
  void chkSameFolderClick();

  QString AppFolderText;
  TDesktopDialogs DesktopDialogs;
  TDialogs& Dialogs;
  TDesktopServices DesktopServices;
  TDesktop& Desktop;
  TAppSettings Settings;
  TSavedList SavedList;
  int Processors;
  QString OpenFolder; // where the open dialog starts
  std::function<void(TOutputOptions&)> AdjustOutput;
  std::function<void(TInputOptions&)> AdjustInput;

  TBanner* Image1 = nullptr;
  QToolButton* btnOpen = nullptr;
  QToolButton* btnConvert = nullptr;
  QLabel* StaticText1 = nullptr;
  QComboBox* selFormat = nullptr;
  QComboBox* selQuality = nullptr;
  QCheckBox* chkCopyFitting = nullptr;
  QLabel* lblMoreSoftware = nullptr;
  QLabel* lblWebsite = nullptr;
  TFileList* lvFiles = nullptr;
  QAction* AddFiles1 = nullptr;
  QAction* RemoveFiles1 = nullptr;
  QAction* OpenOutput1 = nullptr;
  QAction* ShowInFolder1 = nullptr;
  QAction* ConvertKey = nullptr; // Ctrl+Return: "Convert!" or "Stop"
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
  bool Restoring = false; // rows are being restored: nothing is saved meanwhile
  int RunThreadCount = 1;
  TRowStates Rows;
  std::vector<bool> RowInRun; // row -> part of the current (or last) run
  std::vector<int> TaskRows; // task index -> row
  std::vector<TTaskOutcome> TaskOutcomes; // task index -> how it ended (toNone: not yet)
  QElapsedTimer RunClock; // the rows' progress times

  // Declared last: destroyed first, before the widgets its events reach.
  std::unique_ptr<TVexoConverter> VexoC;
};

} // namespace pelorix
