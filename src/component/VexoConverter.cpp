#include "VexoConverter.h"

#include "AVUtilHlpr.h"
#include "LogRouting.h"
#include "MediaLibraries.h"

#include <chrono>

namespace pelorix {

namespace {

// How deep the calling thread is inside a task's callback or start. Destroying a task there
// could pull the task out from under its own thread, so removals are parked instead.
thread_local int EventDepth = 0;

struct TEventScope {
  TEventScope() { ++EventDepth; }
  ~TEventScope() { --EventDepth; }
  TEventScope(const TEventScope&) = delete;
  TEventScope& operator=(const TEventScope&) = delete;
};

// The task whose progress or hook event the calling thread is inside: its run has the input
// open for as long as the event lasts.
thread_local const TFFmpeg* InputOpenTask = nullptr;

class TOpenInputScope {
public:
  explicit TOpenInputScope(const TFFmpeg& ATask) : Saved(InputOpenTask) { InputOpenTask = &ATask; }
  ~TOpenInputScope() { InputOpenTask = Saved; }
  TOpenInputScope(const TOpenInputScope&) = delete;
  TOpenInputScope& operator=(const TOpenInputScope&) = delete;

private:
  const TFFmpeg* Saved;
};

const char* const InsideEventText = "This operation cannot be called from an event handler";
const char* const RunActiveText = "A run is already in progress";
const char* const TaskStartedText = "The task has already been started";

std::string ExceptionText(std::exception_ptr AError) {
  try {
    std::rethrow_exception(AError);
  } catch (const std::exception& E) {
    return E.what();
  } catch (...) {
    return "Unknown error";
  }
}

} // namespace

TTaskIndexError::TTaskIndexError(int AIndex)
    : std::out_of_range("Task index out of range: " + std::to_string(AIndex)) {}

TCustomConverter::TCustomConverter() { EnterComponentList(this); }

TCustomConverter::~TCustomConverter() { ShutDown(); }

void TCustomConverter::ShutDown() {
  if (ShutDownDone) return;
  ShutDownDone = true;
  // Off the list first, so that no library line reaches this converter any more; then no
  // more starts, every engine asked to stop, and each task destroyed once its threads are done.
  LeaveComponentList(this);
  Alive.reset();
  std::vector<TFFmpegPtr> All;
  {
    std::scoped_lock Guard(Lock);
    Stopping = true;
    RunActive = false;
    ++Generation;
    std::lock_guard Scan(ScanLock);
    All = TaskList.TakeAll();
    for (auto& Task : Parked) All.push_back(std::move(Task));
    Parked.clear();
    for (auto& Task : All) Task->Detach();
  }
  DestroyTasks(std::move(All));
}

// --- Operations ---

bool TCustomConverter::LoadLibraries(const std::string& AFolder, bool AVersioned) {
  OwnerThread.Check("LoadLibraries");
  const bool Loaded = LoadMediaLibraries(AFolder, AVersioned);
  if (!Loaded) {
    SetLastError(MediaLibrariesError());
    return false;
  }
  AVUtil().av_log_set_callback(&LibraryLogCallback);
  SetMediaLogLevel(IntegerLevelOf(LogLevel()));
  MediaLogLevel = LogScaleOf(AVUtil().av_log_get_level());
  return true;
}

int TCustomConverter::AddTask(const std::string& AFileName, TInputOptions* AOptions) {
  if (InsideEvent()) {
    SetLastError(InsideEventText);
    return -1;
  }
  OwnerThread.Check("AddTask");
  ReapParked();
  try {
    if (AOptions && AOptions->FileName.empty()) AOptions->FileName = AFileName;
    auto Task = std::make_unique<TFFmpeg>(AFileName, AOptions, NextSerial++);
    BindCallbacks(*Task);
    std::string Error;
    if (!Task->ReadSource(IntegerLevelOf(LogLevel()), Error)) {
      SetLastError(Error);
      return -1;
    }
    std::scoped_lock Guard(Lock);
    std::lock_guard Scan(ScanLock);
    return TaskList.Add(std::move(Task));
  } catch (...) {
    SetLastError(ExceptionText(std::current_exception()));
    return -1;
  }
}

bool TCustomConverter::SetTaskOutput(int AIndex, const std::string& AFileName,
                                     TOutputOptions* AOptions) {
  TFFmpeg& Task = TaskAt(AIndex);
  if (InsideEvent()) {
    SetLastError(InsideEventText);
    return false;
  }
  OwnerThread.Check("SetTaskOutput");
  if (Task.Phase() != TRunPhase::rpWaiting) {
    SetLastError(TaskStartedText);
    return false;
  }
  std::string Error;
  try {
    std::optional<TOutputOptions> Options;
    if (AOptions) {
      if (AOptions->FileName.empty()) AOptions->FileName = AFileName;
      Options = *AOptions;
      // Desktop colours are the owner's to resolve; the run applies the record elsewhere.
      Options->PadColor = ResolvePadColor(Options->PadColor, PadColorResolver);
    }
    if (Task.SetOutput(AFileName, Options ? &*Options : nullptr, IntegerLevelOf(LogLevel()),
                       Error)) {
      // A task configured during a run joins it, at once when a thread is free.
      std::vector<TClaim> Claims;
      {
        std::scoped_lock Guard(Lock);
        if (RunActive && !Stopping && Task.Phase() == TRunPhase::rpWaiting) {
          Task.SetInRun(true);
          ClaimFreeThreads(Claims);
        }
      }
      StartClaimed(Claims);
      return true;
    }
  } catch (...) {
    Error = ExceptionText(std::current_exception());
  }
  SetLastError(Error);
  Task.NoteFailure(Error);
  return false;
}

void TCustomConverter::RemoveTask(int AIndex) {
  if (!InsideEvent()) OwnerThread.Check("RemoveTask");
  std::vector<TFFmpegPtr> Removed;
  TFFmpeg* Unreported = nullptr;
  {
    std::scoped_lock Guard(Lock);
    {
      std::lock_guard Scan(ScanLock);
      if (!TaskList.Contains(AIndex)) throw TTaskIndexError(AIndex);
      Removed.push_back(TaskList.Remove(AIndex));
    }
    TFFmpeg& Task = *Removed.back();
    Task.Detach();
    // A waiting task just leaves. One the run has claimed ends unrun, one that runs is
    // stopped; either way its end still comes and is counted.
    if (Task.Phase() != TRunPhase::rpWaiting && Task.StopBeforeRun()) {
      try {
        Task.ReportNeverRunEnd();
      } catch (...) {
        Unreported = &Task;
      }
    } else if (Task.Phase() != TRunPhase::rpEnded) {
      Task.AskStop();
    }
    FinishRunIfDone();
  }
  if (Unreported) ReportEndHere(*Unreported);
  Dispose(std::move(Removed));
}

void TCustomConverter::ClearTasks() {
  if (!InsideEvent()) OwnerThread.Check("ClearTasks");
  std::vector<TFFmpegPtr> Removed;
  {
    std::scoped_lock Guard(Lock);
    std::lock_guard Scan(ScanLock);
    Removed = TaskList.TakeAll();
    for (auto& Task : Removed) {
      Task->Detach();
      Task->SetCounted(false);
    }
    ThreadCount = 0;
    Outstanding = 0;
    RunActive = false;
    Stopping = false;
    ++Generation;
  }
  SetLastError("");
  Dispose(std::move(Removed));
}

int TCustomConverter::TaskCount() const {
  std::lock_guard Guard(ScanLock);
  return TaskList.Count();
}

TTaskView TCustomConverter::Tasks(int AIndex) const {
  std::lock_guard Guard(ScanLock);
  if (!TaskList.Contains(AIndex)) throw TTaskIndexError(AIndex);
  return TaskList.At(AIndex).View();
}

AVFormatContext* TCustomConverter::TaskInputContext(int AIndex) const {
  const TFFmpeg& Task = TaskAt(AIndex);
  return InputOpenTask == &Task ? Task.RunInputContext() : nullptr;
}

void TCustomConverter::Start(int AThreadCount) {
  if (InsideEvent()) {
    SetLastError(InsideEventText);
    return;
  }
  OwnerThread.Check("Start");
  ReapParked();
  // The line buffers stay: a pending line belongs to its thread, whichever converter that
  // thread serves; a task's thread drops its own when the task ends.
  std::vector<TClaim> Claims;
  {
    std::scoped_lock Guard(Lock);
    if (RunActive) {
      SetLastError(RunActiveText);
      return;
    }
    ++Generation;
    ThreadCount = AThreadCount;
    Outstanding = 0;
    Stopping = false;
    {
      std::lock_guard Scan(ScanLock);
      RunActive = TaskList.Count() > 0;
      for (int I = 0; I < TaskList.Count(); ++I)
        TaskList.At(I).SetInRun(TaskList.At(I).Phase() == TRunPhase::rpWaiting);
    }
    ClaimFreeThreads(Claims);
    FinishRunIfDone();
  }
  StartClaimed(Claims);
}

void TCustomConverter::Stop() {
  std::vector<TFFmpeg*> Unreported;
  {
    std::scoped_lock Guard(Lock);
    if (RunActive) Stopping = true;
    std::vector<TFFmpeg*> Listed;
    {
      std::lock_guard Scan(ScanLock);
      for (int I = 0; I < TaskList.Count(); ++I) Listed.push_back(&TaskList.At(I));
    }
    for (TFFmpeg* Task : Listed) {
      if (Task->StopBeforeRun()) {
        // Never started: the run waits for its end, which the engine reports from an
        // idle-priority thread of its own.
        if (RunActive && !Task->Counted()) {
          Task->SetCounted(true);
          ++Outstanding;
        }
        try {
          Task->ReportNeverRunEnd();
        } catch (...) {
          Unreported.push_back(Task); // no thread for it: reported from here instead
        }
      } else if (Task->Phase() != TRunPhase::rpEnded) {
        Task->AskStop();
      }
    }
    FinishRunIfDone();
  }
  for (TFFmpeg* Task : Unreported) ReportEndHere(*Task);
}

void TCustomConverter::ReportEndHere(TFFmpeg& ATask) {
  {
    TEventScope Scope;
    DoTaskTerminate(ATask);
  }
  ATask.NoteEndReported();
}

// --- Properties and events ---

void TCustomConverter::SetLogLevel(TLogLevel ALevel) {
  LogLevelValue.store(ALevel);
  if (MediaLibrariesLoaded()) {
    SetMediaLogLevel(IntegerLevelOf(ALevel));
    MediaLogLevel = LogScaleOf(AVUtil().av_log_get_level());
  }
}

void TCustomConverter::SetProgressInterval(int AMilliseconds) {
  ProgressIntervalValue.store(AMilliseconds < 100 ? 100 : AMilliseconds);
}

std::string TCustomConverter::LastError() const {
  std::lock_guard Guard(TextLock);
  return LastErrorText;
}

void TCustomConverter::SetLastError(const std::string& AText) {
  std::lock_guard Guard(TextLock);
  LastErrorText = AText;
}

std::string TCustomConverter::About() const {
  std::lock_guard Guard(TextLock);
  return AboutText;
}

void TCustomConverter::SetAbout(const std::string& AText) {
  std::lock_guard Guard(TextLock);
  AboutText = AText;
}

void TCustomConverter::SetOnBeforeHook(TBeforeHookEvent AEvent) {
  std::lock_guard Guard(HookLock);
  OnBeforeHook = std::move(AEvent);
}

void TCustomConverter::SetOnCustomHook(TCustomHookEvent AEvent) {
  std::lock_guard Guard(HookLock);
  OnCustomHook = std::move(AEvent);
}

void TCustomConverter::SetOnLog(TLogEvent AEvent) {
  std::scoped_lock Guard(Lock);
  OnLog = std::move(AEvent);
}

void TCustomConverter::SetOnProgress(TProgressEvent AEvent) {
  std::scoped_lock Guard(Lock);
  OnProgress = std::move(AEvent);
}

void TCustomConverter::SetOnTerminate(TTerminateEvent AEvent) {
  std::scoped_lock Guard(Lock);
  OnTerminate = std::move(AEvent);
}

void TCustomConverter::SetTimerService(TTimerService* AService) {
  OwnerThread.Check("SetTimerService");
  Timers = AService ? AService : &OwnPump;
}

TAVProbe& TCustomConverter::Probe() {
  OwnerThread.Check("Probe");
  return OwnProbe;
}

void TCustomConverter::SetPadColorResolver(TPadColorResolver AResolver) {
  OwnerThread.Check("SetPadColorResolver");
  PadColorResolver = std::move(AResolver);
}

// --- Dispatchers ---

void TCustomConverter::DoBeforeHook(TFFmpeg& ATask, int64_t APTS, THookAction& AHookAction) {
  TBeforeHookEvent Event;
  {
    std::lock_guard Guard(HookLock);
    Event = OnBeforeHook;
  }
  if (!Event) return;
  try {
    Event(ATask.Index(), APTS, AHookAction);
  } catch (...) {
    // A handler's failure stays out of the engine's run.
  }
}

void TCustomConverter::DoCustomHook(TFFmpeg& ATask, THookBitmap& ABitmap, int AFrameNumber,
                                    int64_t APTS, bool& AUpdate, bool& AStopHook) {
  TCustomHookEvent Event;
  {
    std::lock_guard Guard(HookLock);
    Event = OnCustomHook;
  }
  if (!Event) return;
  try {
    Event(ATask.Index(), ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
  } catch (...) {}
}

void TCustomConverter::DoLog(TFFmpeg* ATask, int ALevel, const std::string& AText) {
  std::scoped_lock Guard(Lock);
  if (!OnLog) return;
  // Lines of a task that has left the list belong to no task any more.
  const int Index = ATask && !ATask->Detached() ? ATask->Index() : -1;
  try {
    OnLog(Index, LogLevelOf(ALevel), AText);
  } catch (...) {}
}

void TCustomConverter::DoProgress(TFFmpeg& ATask, int AFrameNumber, int AFPS, int ACurrentDuration,
                                  float AQuality, float ABitRate, int64_t ACurrentSize,
                                  int ATotalOutputDuration) {
  // A stop that came while the task was being started reaches its engine here at the latest.
  if (ATask.StopAsked()) ATask.RequestStop();
  std::scoped_lock Guard(Lock);
  if (!OnProgress || ATask.Detached()) return;
  try {
    OnProgress(ATask.Index(), AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate,
               ACurrentSize, ATotalOutputDuration);
  } catch (...) {}
}

void TCustomConverter::DoTaskTerminate(TFFmpeg& ATask) {
  // A task that never ran still closes up, so that no empty output stays behind. Outside the
  // lock: the clean-up may log and close codecs.
  if (ATask.Phase() == TRunPhase::rpStopped) ATask.CloseFiles();
  const TTaskResult Result = ATask.TakeResult();
  // A line the task's thread left unfinished ends with the task; another thread that comes to
  // carry the same identifier starts afresh.
  const std::thread::id Self = std::this_thread::get_id();
  if (ATask.ThreadID() == Self) LogLines().Forget(Self);
  std::vector<TClaim> Next;
  {
    std::scoped_lock Guard(Lock);
    ATask.SetThreadID(std::thread::id());
    CountEnd(ATask);
    if (!ATask.Detached()) RaiseTerminate(ATask.Index(), Result);
    ClaimFreeThreads(Next);
    FinishRunIfDone();
  }
  // The next task starts from this thread, once the lock is let go.
  StartClaimed(Next);
}

void TCustomConverter::DispatchLibraryLine(std::thread::id AThread, int ALevel,
                                           const std::string& AText) {
  TFFmpeg* Found = nullptr;
  {
    std::lock_guard Guard(ScanLock);
    for (int I = 0; I < TaskList.Count() && !Found; ++I)
      if (TaskList.At(I).ThreadID() == AThread) Found = &TaskList.At(I);
  }
  // The task stays alive while the list lock is held: destruction waits for that lock.
  DoLog(Found, ALevel, AText);
}

// --- Runs ---

void TCustomConverter::RaiseTerminate(int AIndex, const TTaskResult& AResult) {
  if (!OnTerminate) return;
  try {
    OnTerminate(AIndex, AResult);
  } catch (...) {}
}

void TCustomConverter::ClaimFreeThreads(std::vector<TClaim>& AClaims) {
  if (!RunActive || Stopping) return;
  const int Most = ThreadCount > 0 ? ThreadCount : 1;
  std::lock_guard Scan(ScanLock);
  for (int I = 0; I < TaskList.Count() && Outstanding < Most; ++I) {
    TFFmpeg& Task = TaskList.At(I);
    if (!Task.InRun() || !Task.Claim()) continue;
    Task.SetCounted(true);
    ++Outstanding;
    std::lock_guard Guard(InFlightLock);
    ++InFlight;
    AClaims.push_back({&Task, Task.Serial(), Generation, ThreadCount > 0});
  }
}

void TCustomConverter::CountEnd(TFFmpeg& ATask) {
  if (!ATask.Counted()) return;
  ATask.SetCounted(false);
  --Outstanding;
}

void TCustomConverter::FinishRunIfDone() {
  if (!RunActive || Outstanding > 0) return;
  if (!Stopping) {
    std::lock_guard Scan(ScanLock);
    for (int I = 0; I < TaskList.Count(); ++I)
      if (TaskList.At(I).InRun() && TaskList.At(I).Phase() == TRunPhase::rpWaiting) return;
  }
  RunActive = false;
  Stopping = false;
  RaiseTerminate(-1, TTaskResult{});
}

void TCustomConverter::ReleaseInFlight() {
  std::lock_guard Guard(InFlightLock);
  --InFlight;
  InFlightChanged.notify_all();
}

void TCustomConverter::StartClaimed(const std::vector<TClaim>& AClaims) {
  for (const TClaim& Claim : AClaims) {
    if (Claim.Async) {
      StartTask(*Claim.Task, true);
    } else {
      std::weak_ptr<bool> Living = Alive;
      Timers->StartOneShot(std::chrono::milliseconds(100), Claim.Serial,
                           [this, Living, Generation = Claim.Generation](int32_t ATag) {
                             if (Living.lock()) StartTimedTask(Generation, ATag);
                           });
    }
    ReleaseInFlight();
  }
}

void TCustomConverter::StartTimedTask(uint64_t AGeneration, int32_t ASerial) {
  TFFmpeg* Task = nullptr;
  {
    std::scoped_lock Guard(Lock);
    std::lock_guard Scan(ScanLock);
    // A task removed after its claim has already been ended by the removal.
    if (AGeneration != Generation || !(Task = TaskList.Find(ASerial))) return;
    std::lock_guard InFlightGuard(InFlightLock);
    ++InFlight;
  }
  StartTask(*Task, false);
  ReleaseInFlight();
}

void TCustomConverter::StartTask(TFFmpeg& ATask, bool AAsync) {
  TEventScope Scope;
  if (!ATask.BeginRun()) return; // a stop came first and reports the end
  const int Verbosity = IntegerLevelOf(LogLevel());
  const int64_t Interval = static_cast<int64_t>(ProgressInterval()) * 1000;
  if (!AAsync) {
    ATask.SetThreadID(std::this_thread::get_id());
    ATask.Publish();
    RunTask(ATask, Verbosity, Interval);
    return;
  }
  std::shared_ptr<TWorkerThread> Thread;
  try {
    Thread = TWorkerThread::CreateSuspended(ThreadPriority(), [this, &ATask, Verbosity, Interval] {
      TEventScope RunScope;
      RunTask(ATask, Verbosity, Interval);
    });
  } catch (...) {
    // No thread could be made: the task still ends, once, from here.
    ATask.SetNoRunResult({TTaskOutcome::toNotStarted, ""});
    ReportEndHere(ATask);
    return;
  }
  ATask.AttachRunThread(Thread);
  // Published before it runs, so that every library line of the thread finds the task.
  ATask.SetThreadID(Thread->ThreadId());
  ATask.Publish();
  Thread->Resume();
}

void TCustomConverter::RunTask(TFFmpeg& ATask, int AVerbosity, int64_t AReportInterval) {
  std::string Error;
  bool Opened = false;
  try {
    Opened = ATask.OpenForRun(AVerbosity, AReportInterval, Error);
  } catch (...) {
    Error = ExceptionText(std::current_exception());
  }
  if (Opened && !ATask.StopAsked()) {
    ATask.Run(); // reports the end; the task may be gone afterwards
    return;
  }
  // Nothing ran: a file that did not open fails the task as a run's failure does (with a
  // level -1 line), a stop that came during the opening leaves it not started.
  if (!Opened) DoLog(&ATask, -1, Error);
  ATask.SetNoRunResult(Opened ? TTaskResult{TTaskOutcome::toNotStarted, ""}
                              : TTaskResult{TTaskOutcome::toFailed, Error});
  ATask.CloseFiles();
  ReportEndHere(ATask);
}

void TCustomConverter::BindCallbacks(TFFmpeg& ATask) {
  TFFmpeg* Task = &ATask;
  ATask.BindCallbacks(
      [this, Task](TCustomFFmpeg&, int ALevel, const std::string& AText) {
        TEventScope Scope;
        DoLog(Task, ALevel, AText);
      },
      [this, Task](TCustomFFmpeg&, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                   float ABitRate, int64_t ACurrentSize, int ATotalDuration) {
        TEventScope Scope;
        TOpenInputScope Input(*Task);
        DoProgress(*Task, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ACurrentSize,
                   ATotalDuration);
      },
      [this, Task](TCustomFFmpeg&) {
        {
          TEventScope Scope;
          DoTaskTerminate(*Task);
        }
        Task->NoteEndReported(); // the last touch of the task on this thread
      },
      [this, Task](TCustomFFmpeg&, int64_t APTS, THookAction& AAction) {
        TEventScope Scope;
        TOpenInputScope Input(*Task);
        DoBeforeHook(*Task, APTS, AAction);
      },
      [this, Task](TCustomFFmpeg&, THookBitmap& ABitmap, int AFrameNumber, int64_t APTS,
                   bool& AUpdate, bool& AStopHook) {
        TEventScope Scope;
        TOpenInputScope Input(*Task);
        DoCustomHook(*Task, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
      });
}

TFFmpeg& TCustomConverter::TaskAt(int AIndex) const {
  std::lock_guard Guard(ScanLock);
  if (!TaskList.Contains(AIndex)) throw TTaskIndexError(AIndex);
  return TaskList.At(AIndex);
}

// --- Task disposal ---

bool TCustomConverter::InsideEvent() const { return EventDepth > 0 || Lock.HeldByCaller(); }

void TCustomConverter::Dispose(std::vector<TFFmpegPtr> ATasks) {
  if (InsideEvent()) {
    std::scoped_lock Guard(Lock);
    for (auto& Task : ATasks) {
      if (Task->Phase() == TRunPhase::rpWaiting) Task->ReleaseOutputName();
      if (Task->Phase() != TRunPhase::rpEnded) Task->AskStop();
      Parked.push_back(std::move(Task));
    }
    return;
  }
  DestroyTasks(std::move(ATasks));
  ReapParked();
}

void TCustomConverter::ReapParked() {
  if (InsideEvent()) return;
  std::vector<TFFmpegPtr> Reaped;
  {
    std::scoped_lock Guard(Lock);
    Reaped.swap(Parked);
  }
  DestroyTasks(std::move(Reaped));
}

void TCustomConverter::DestroyTasks(std::vector<TFFmpegPtr> ATasks) {
  if (ATasks.empty()) return;
  // A starter may still be about to begin one of them.
  {
    std::unique_lock Guard(InFlightLock);
    InFlightChanged.wait(Guard, [this] { return InFlight == 0; });
  }
  // A library line being routed may still hold a pointer found before the tasks left the
  // list; the routing holds the list lock throughout, so passing through it waits for that.
  { std::lock_guard Barrier(ComponentListLock()); }
  for (auto& Task : ATasks) Task->RequestStop(); // stop them all before waiting for any
  ATasks.clear();
}

} // namespace pelorix
