// The converter component: an ordered list of tasks (one engine each), run on worker threads
// at most N at a time or one by one on the calling thread, with the engines' callbacks raised
// as events carrying the task's index, and the media libraries' log routed to the task whose
// thread produced it.
//
// Threads and locks:
// - Operations belong to the owner's thread (the window's GUI thread or a command-line
//   program's main thread); Stop may also be called from any event handler.
// - OnLog, OnProgress and OnTerminate are raised under the component lock (re-entrant), on the
//   thread that produced them; the hook events without it.
// - Lock order: CodecLock, component list lock, component lock, then the leaf locks (scan,
//   hooks, line buffers, last error). Nothing that may take CodecLock or the list lock runs
//   under the component lock; AddTask, SetTaskOutput and Start refuse to run from inside a
//   locked event handler, and tasks removed there are destroyed later, outside every lock.
// - A task is destroyed only after every thread that may touch it has let go of it.
// Nothing thrown inside crosses the component boundary except the index error below.
#pragma once

#include "AVProbe.h"
#include "ConverterTypes.h"
#include "Task.h"
#include "TaskOptions.h"
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
  // AOptions, when given, is the caller's record: an empty FileName is filled in.
  int AddTask(const std::string& AFileName, TInputOptions* AOptions = nullptr);
  bool SetTaskOutput(int AIndex, const std::string& AFileName, TOutputOptions* AOptions = nullptr);
  void RemoveTask(int AIndex);
  void ClearTasks();
  int TaskCount() const; // any thread
  // The task itself; the reference stays valid until the task is removed.
  TFFmpeg& Tasks(int AIndex);
  // The task's first input container, or null once the task has started or been stopped.
  AVFormatContext* TaskInputContext(int AIndex);
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
  TAVProbe& Probe() { return OwnProbe; }
  // The timer service of runs without worker threads; null restores the converter's own
  // pump. Owner's thread, while no such run is pending.
  void SetTimerService(TTimerService* AService);
  TTimerPump& TimerPump() { return OwnPump; }
  // Resolves desktop colours of PadColor; without it they are black. Owner's thread.
  void SetPadColorResolver(TPadColorResolver AResolver) { PadColorResolver = std::move(AResolver); }

private:
  struct TClaim {
    TFFmpeg* Task;
    int Index;
    uint64_t Generation;
    bool Async; // on a worker thread, else through a timer
  };

  void SetLastError(const std::string& AText);
  // Lock held: the next fresh task of the run; tasks that cannot start count as ended.
  std::optional<TClaim> ClaimNext();
  // Lock held: raises the run's final event once every task has ended.
  void FinishRunIfDone();
  // No lock held: starts a claimed task, at once or through a timer.
  void StartClaimed(const TClaim& AClaim);
  void StartTimedTask(uint64_t AGeneration, int AIndex);
  void StartTask(TFFmpeg& ATask, bool AAsync);
  void ReleaseInFlight();
  // The end of a task that got no thread to report it, raised on the calling thread.
  void ReportEndHere(TFFmpeg& ATask);
  void BindCallbacks(TFFmpeg& ATask);
  TFFmpeg& TaskAt(int AIndex) const;
  // The caller is inside an event or callback of this converter's tasks.
  bool InsideEvent() const;
  // Destroys removed tasks, or parks them when the caller is inside an event.
  void Dispose(std::vector<TFFmpegPtr> ATasks);
  void ReapParked();
  void DestroyTasks(std::vector<TFFmpegPtr> ATasks);
  void RaiseTerminate(int AIndex, bool AFinished, bool AException, const std::string& AMessage);

  bool ShutDownDone = false;
  TAVProbe OwnProbe;
  TTimerPump OwnPump;
  TTimerService* Timers = &OwnPump;
  TPadColorResolver PadColorResolver;
  std::shared_ptr<bool> Alive = std::make_shared<bool>(true); // for late timers

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
  int32_t NextTask = -1;
  int32_t ThreadCount = 0;
  int32_t EndedCount = 0;
  int32_t LeftToStart = 0;
  bool RunActive = false; // from Start until the final event
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
