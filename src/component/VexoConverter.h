// The converter component: an ordered list of tasks (one engine each), run on worker threads
// at most N at a time or one by one on the calling thread, with the engines' callbacks raised
// as events carrying the task's index, and the media libraries' log routed to the task whose
// thread produced it. Callers see a task through TTaskView and its end through TTaskResult.
//
// A run (Start until the final event, the one with index -1):
// - It claims tasks in list order whenever fewer than its thread count (one without worker
//   threads) are out: a task's end, reported or not (a task removed from the list ends
//   unseen), claims the next. The final event comes exactly once, when no claimed task is
//   still to end and none is left to claim, whatever the list did in between.
// - A task added during a run joins it once its output is set: it starts when a thread is
//   free. One whose output is never set waits for the next Start. Tasks listed at Start run
//   whether their output is set or not (without one the run fails at once).
// - Stop ends the run: nothing more is claimed, running tasks stop, every task that never ran
//   ends as not started; a task configured after that waits for the next Start.
// - Removing a task that runs stops it and counts its end; removing a waiting one takes it
//   out of the run (the run ends if it was the last thing left).
//
// Threads and locks:
// - Operations belong to the owner's thread (the window's GUI thread or a command-line
//   program's main thread); debug builds check it. Stop may also be called from any event
//   handler, and RemoveTask, ClearTasks and TaskInputContext from the handlers too.
// - OnLog, OnProgress and OnTerminate are raised under the component lock (re-entrant), on the
//   thread that produced them; the hook events without it.
// - Lock order: CodecLock, component list lock, component lock, then the leaf locks (scan,
//   hooks, line buffers, last error, a task's view). Nothing that may take CodecLock or the
//   list lock runs under the component lock; AddTask, SetTaskOutput and Start refuse to run
//   from inside a locked event handler, and tasks removed there are destroyed later, outside
//   every lock.
// - A task is destroyed only after every thread that may touch it has let go of it.
// Nothing thrown inside crosses the component boundary except the index error below.
#pragma once

#include "AVProbe.h"
#include "ConverterTypes.h"
#include "Task.h"
#include "TaskOptions.h"
#include "TaskView.h"
#include "ThreadAffinity.h"
#include "TimerService.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelorix {

// A task index outside 0 .. TaskCount - 1, raised to the caller of SetTaskOutput, RemoveTask,
// Tasks and TaskInputContext. A window catches it before it leaves a toolkit slot.
class TTaskIndexError : public std::out_of_range {
public:
  explicit TTaskIndexError(int AIndex);
};

class TCustomConverter {
public:
  TCustomConverter();
  virtual ~TCustomConverter();
  TCustomConverter(const TCustomConverter&) = delete;
  TCustomConverter& operator=(const TCustomConverter&) = delete;

  // The log routing, with the component list lock held: raises AText for the task that runs
  // on AThread, or for no task.
  void DispatchLibraryLine(std::thread::id AThread, int ALevel, const std::string& AText);

protected:
  // Stops every task and waits until no thread can reach this converter any more; the
  // destructor ends with it. A class that overrides a dispatcher calls it first thing in its
  // own destructor, so that no thread calls the dispatcher while the object is taken apart.
  // Owner's thread, outside every event.
  void ShutDown();

  // The five dispatchers the engines' callbacks are bound to, on the task's thread.
  virtual void DoBeforeHook(TFFmpeg& ATask, int64_t APTS, THookAction& AHookAction);
  virtual void DoCustomHook(TFFmpeg& ATask, THookBitmap& ABitmap, int AFrameNumber, int64_t APTS,
                            bool& AUpdate, bool& AStopHook);
  virtual void DoLog(TFFmpeg* ATask, int ALevel, const std::string& AText);
  virtual void DoProgress(TFFmpeg& ATask, int AFrameNumber, int AFPS, int ACurrentDuration,
                          float AQuality, float ABitRate, int64_t ACurrentSize,
                          int ATotalOutputDuration);
  virtual void DoTaskTerminate(TFFmpeg& ATask);

  // --- Operations, published by TVexoConverter (owner's thread unless noted) ---
  bool LoadLibraries(const std::string& AFolder, bool AVersioned);
  // Reads the source (open, summary, close) and lists its task; the index, or -1 with the
  // reason in LastError. AOptions, when given, is the caller's record: an empty FileName is
  // filled in. The task holds no open file afterwards.
  int AddTask(const std::string& AFileName, TInputOptions* AOptions = nullptr);
  // Checks the output by opening the source and AFileName as the run will, closes both and
  // records them; false with the reason in LastError (and the task's view). An empty file of
  // that name holds it until the task runs, or goes when the task ends unrun or leaves the
  // list. AOptions, when given, is the caller's record: an empty FileName is filled in. A task
  // added during a run joins it here.
  bool SetTaskOutput(int AIndex, const std::string& AFileName, TOutputOptions* AOptions = nullptr);
  // Also from event handlers; see the header comment for what it does to a run.
  void RemoveTask(int AIndex);
  // Also from event handlers (the final one's, typically); ends the run's accounting.
  void ClearTasks();
  int TaskCount() const; // any thread
  // A copy of what the task shows; its State and Result follow the run.
  TTaskView Tasks(int AIndex) const;
  // The task's first input container, for its own progress and hook handlers while its run
  // has the input open; null on any other thread or at any other time. Before its run a task
  // holds no open input: the source's name is the view's SourcePath.
  AVFormatContext* TaskInputContext(int AIndex) const;
  // AThreadCount > 0: that many worker threads at once; 0 or less: one task at a time on the
  // thread that serves the timer service.
  void Start(int AThreadCount);
  void Stop(); // also from event handlers

  // --- Properties (any thread) ---
  TLogLevel LogLevel() const { return LogLevelValue.load(); }
  void SetLogLevel(TLogLevel ALevel);
  int ProgressInterval() const { return ProgressIntervalValue.load(); }
  void SetProgressInterval(int AMilliseconds);
  TConvertPriority ThreadPriority() const { return PriorityValue.load(); }
  void SetThreadPriority(TConvertPriority APriority) { PriorityValue.store(APriority); }
  std::string LastError() const;
  std::string About() const;
  void SetAbout(const std::string& AText);

  // --- Events: assigned from any thread; see the header comment for where they run ---
  void SetOnBeforeHook(TBeforeHookEvent AEvent);
  void SetOnCustomHook(TCustomHookEvent AEvent);
  void SetOnLog(TLogEvent AEvent);
  void SetOnProgress(TProgressEvent AEvent);
  void SetOnTerminate(TTerminateEvent AEvent);

  // The probe the application tests files with. Owner's thread.
  TAVProbe& Probe();
  // The timer service of runs without worker threads; null restores the converter's own
  // pump. Owner's thread, while no such run is pending.
  void SetTimerService(TTimerService* AService);
  TTimerPump& TimerPump() { return OwnPump; } // the pumping thread
  // Resolves desktop colours of PadColor when an output is set; without it they are black.
  // Owner's thread.
  void SetPadColorResolver(TPadColorResolver AResolver);

private:
  struct TClaim {
    TFFmpeg* Task;
    int32_t Serial;
    uint64_t Generation;
    bool Async; // on a worker thread, else through a timer
  };

  void SetLastError(const std::string& AText);
  // Lock held: claims waiting tasks of the run while fewer than the thread count are out.
  void ClaimFreeThreads(std::vector<TClaim>& AClaims);
  // Lock held: the end of ATask leaves the run's count.
  void CountEnd(TFFmpeg& ATask);
  // Lock held: raises the run's final event once nothing is out and nothing left to claim.
  void FinishRunIfDone();
  // No lock held: starts claimed tasks, at once or through a timer.
  void StartClaimed(const std::vector<TClaim>& AClaims);
  void StartTimedTask(uint64_t AGeneration, int32_t ASerial);
  void StartTask(TFFmpeg& ATask, bool AAsync);
  // The run's thread: opens the task's files and converts, or reports why it could not.
  void RunTask(TFFmpeg& ATask, int AVerbosity, int64_t AReportInterval);
  void ReleaseInFlight();
  // The end of a task that got no engine run to report it, raised on the calling thread.
  void ReportEndHere(TFFmpeg& ATask);
  void BindCallbacks(TFFmpeg& ATask);
  TFFmpeg& TaskAt(int AIndex) const;
  // The caller is inside an event or callback of this converter's tasks.
  bool InsideEvent() const;
  // Destroys removed tasks, or parks them when the caller is inside an event.
  void Dispose(std::vector<TFFmpegPtr> ATasks);
  void ReapParked();
  void DestroyTasks(std::vector<TFFmpegPtr> ATasks);
  void RaiseTerminate(int AIndex, const TTaskResult& AResult);

  bool ShutDownDone = false;
  TThreadAffinity OwnerThread;
  TAVProbe OwnProbe;
  TTimerPump OwnPump;
  TTimerService* Timers = &OwnPump;
  TPadColorResolver PadColorResolver;
  std::shared_ptr<bool> Alive = std::make_shared<bool>(true); // for late timers
  int32_t NextSerial = 0; // owner's thread

  std::atomic<TLogLevel> LogLevelValue{TLogLevel::llInfo};
  std::atomic<int> ProgressIntervalValue{500};
  std::atomic<TConvertPriority> PriorityValue{TConvertPriority::tpNormal};

  mutable std::mutex TextLock; // leaf: LastError, About
  std::string LastErrorText;
  std::string AboutText;

  mutable std::mutex HookLock; // leaf: the hook events, raised without the component lock
  TBeforeHookEvent OnBeforeHook;
  TCustomHookEvent OnCustomHook;

  // The component lock guards what follows, up to the scan lock.
  mutable TComponentLock Lock;
  TLogEvent OnLog;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;
  int32_t ThreadCount = 0;
  int32_t Outstanding = 0; // tasks the run counts whose end is still to come
  bool RunActive = false; // from Start until the final event
  bool Stopping = false; // Stop came during the run: nothing more is claimed
  uint64_t Generation = 0; // changes with every run and every clear
  std::vector<TFFmpegPtr> Parked; // removed inside an event, destroyed later

  // Leaf under the component lock: list changes, and the log routing's scan for a thread.
  mutable std::mutex ScanLock;
  TFFmpegList TaskList;

  // Tasks handed to a starter outside the lock; destruction waits for them.
  std::mutex InFlightLock;
  std::condition_variable InFlightChanged;
  int InFlight = 0;
};

class TVexoConverter final : public TCustomConverter {
public:
  ~TVexoConverter() override { ShutDown(); }

  using TCustomConverter::AddTask;
  using TCustomConverter::ClearTasks;
  using TCustomConverter::LoadLibraries;
  using TCustomConverter::RemoveTask;
  using TCustomConverter::SetTaskOutput;
  using TCustomConverter::Start;
  using TCustomConverter::Stop;
  using TCustomConverter::TaskCount;
  using TCustomConverter::TaskInputContext;
  using TCustomConverter::Tasks;

  using TCustomConverter::About;
  using TCustomConverter::LastError;
  using TCustomConverter::LogLevel;
  using TCustomConverter::ProgressInterval;
  using TCustomConverter::SetAbout;
  using TCustomConverter::SetLogLevel;
  using TCustomConverter::SetProgressInterval;
  using TCustomConverter::SetThreadPriority;
  using TCustomConverter::ThreadPriority;
  std::string Version() const { return "2.2"; }

  using TCustomConverter::SetOnBeforeHook;
  using TCustomConverter::SetOnCustomHook;
  using TCustomConverter::SetOnLog;
  using TCustomConverter::SetOnProgress;
  using TCustomConverter::SetOnTerminate;

  using TCustomConverter::Probe;
  using TCustomConverter::SetPadColorResolver;
  using TCustomConverter::SetTimerService;
  using TCustomConverter::TimerPump;
};

} // namespace pelorix
