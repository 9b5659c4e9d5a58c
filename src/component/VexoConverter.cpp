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
    LeftToStart = 0;
    RunActive = false;
    ++Generation;
  }
  {
    std::unique_lock Guard(InFlightLock);
    InFlightChanged.wait(Guard, [this] { return InFlight == 0; });
  }
  {
    std::scoped_lock Guard(Lock);
    std::lock_guard Scan(ScanLock);
    All = TaskList.TakeAll();
    for (auto& Task : Parked) All.push_back(std::move(Task));
    Parked.clear();
    for (auto& Task : All) Task->Detached = true;
  }
  DestroyTasks(std::move(All));
}

// --- Operations ---

bool TCustomConverter::LoadLibraries(const std::string& AFolder, bool AVersioned) {
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
  ReapParked();
  try {
    auto Task = std::make_unique<TFFmpeg>();
    Task->SetLogCallback([this](TCustomFFmpeg& AEngine, int ALevel, const std::string& AText) {
      TEventScope Scope;
      DoLog(&static_cast<TFFmpeg&>(AEngine), ALevel, AText);
    });
    Task->Reset();
    Task->SetVerbosity(IntegerLevelOf(LogLevel()));
    if (AOptions) {
      if (AOptions->FileName.empty()) AOptions->FileName = AFileName;
      Task->InputOptions() = *AOptions;
      ApplyInputOptions(*Task, *AOptions);
    } else {
      InitInputOptions(Task->InputOptions());
    }
    if (!Task->OpenInputFile(AFileName)) {
      Task->SetLogCallback(nullptr);
      SetLastError(Task->LastErrorText());
      return -1;
    }
    Task->AttachProbe();
    BindCallbacks(*Task);
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
  if (Task.Phase() != TTaskPhase::tsWaiting) {
    SetLastError(TaskStartedText);
    return false;
  }
  try {
    if (AOptions) {
      if (AOptions->FileName.empty()) AOptions->FileName = AFileName;
      Task.OutputOptions() = *AOptions;
      ApplyExtOptions(Task, AOptions->ExtOptions);
      ApplyOutputOptions(Task, *AOptions, PadColorResolver);
      ApplyTarget(Task, *AOptions);
      if (AOptions->CustomHook) {
        Task.SetCustomHookCallback([this](TCustomFFmpeg& AEngine, THookBitmap& ABitmap,
                                          int AFrameNumber, int64_t APTS, bool& AUpdate,
                                          bool& AStopHook) {
          TEventScope Scope;
          DoCustomHook(static_cast<TFFmpeg&>(AEngine), ABitmap, AFrameNumber, APTS, AUpdate,
                       AStopHook);
        });
      } else if (AOptions->BeforeHook) {
        Task.SetBeforeHookCallback(
            [this](TCustomFFmpeg& AEngine, int64_t APTS, THookAction& AAction) {
              TEventScope Scope;
              DoBeforeHook(static_cast<TFFmpeg&>(AEngine), APTS, AAction);
            });
      } else {
        ApplyHookRanges(Task, AOptions->HookRanges);
      }
    } else {
      InitOutputOptions(Task.OutputOptions());
    }
    const bool Opened = Task.OpenOutputFile(AFileName);
    if (!Opened) SetLastError(Task.LastErrorText());
    return Opened;
  } catch (...) {
    SetLastError(ExceptionText(std::current_exception()));
    return false;
  }
}

void TCustomConverter::RemoveTask(int AIndex) {
  std::vector<TFFmpegPtr> Removed;
  {
    std::scoped_lock Guard(Lock);
    std::lock_guard Scan(ScanLock);
    if (!TaskList.Contains(AIndex)) throw TTaskIndexError(AIndex);
    Removed.push_back(TaskList.Remove(AIndex));
    Removed.back()->Detached = true;
  }
  Dispose(std::move(Removed));
}

void TCustomConverter::ClearTasks() {
  std::vector<TFFmpegPtr> Removed;
  {
    std::scoped_lock Guard(Lock);
    std::lock_guard Scan(ScanLock);
    Removed = TaskList.TakeAll();
    for (auto& Task : Removed) Task->Detached = true;
    ThreadCount = 0;
    LeftToStart = 0;
    EndedCount = 0;
    NextTask = -1;
    RunActive = false;
    ++Generation;
  }
  SetLastError("");
  Dispose(std::move(Removed));
}

int TCustomConverter::TaskCount() const {
  std::lock_guard Guard(ScanLock);
  return TaskList.Count();
}

TFFmpeg& TCustomConverter::Tasks(int AIndex) { return TaskAt(AIndex); }

AVFormatContext* TCustomConverter::TaskInputContext(int AIndex) {
  return TaskAt(AIndex).FirstInputContext();
}

void TCustomConverter::Start(int AThreadCount) {
  if (InsideEvent()) {
    SetLastError(InsideEventText);
    return;
  }
  ReapParked();
  LogLines().Clear();
  std::vector<TClaim> Claims;
  {
    std::scoped_lock Guard(Lock);
    if (RunActive) {
      SetLastError(RunActiveText);
      return;
    }
    ++Generation;
    NextTask = 0;
    EndedCount = 0;
    ThreadCount = AThreadCount;
    LeftToStart = TaskCount();
    RunActive = LeftToStart > 0;
    const int Most = AThreadCount > 0 ? AThreadCount : 1;
    while (LeftToStart > 0 && static_cast<int>(Claims.size()) < Most) {
      if (auto Claim = ClaimNext()) Claims.push_back(*Claim);
    }
    FinishRunIfDone();
  }
  for (const TClaim& Claim : Claims) StartClaimed(Claim);
}

void TCustomConverter::Stop() {
  std::vector<TFFmpeg*> Unreported;
  {
    std::scoped_lock Guard(Lock);
    LeftToStart = 0;
    std::vector<TFFmpeg*> Listed;
    {
      std::lock_guard Scan(ScanLock);
      for (int I = 0; I < TaskList.Count(); ++I) Listed.push_back(&TaskList.At(I));
    }
    for (TFFmpeg* Task : Listed) {
      if (Task->StopBeforeRun()) {
        // Never started: the engine reports the end from an idle-priority thread of its own.
        try {
          Task->Stop();
        } catch (...) {
          Unreported.push_back(Task); // no thread for it: reported from here instead
        }
      } else if (Task->Phase() != TTaskPhase::tsEnded) {
        Task->AskStop();
      }
    }
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
  Timers = AService ? AService : &OwnPump;
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
  const int Index = ATask && !ATask->Detached ? ATask->Index() : -1;
  try {
    OnLog(Index, LogLevelOf(ALevel), AText);
  } catch (...) {}
}

void TCustomConverter::DoProgress(TFFmpeg& ATask, int AFrameNumber, int AFPS, int ACurrentDuration,
                                  float AQuality, float ABitRate, int64_t ACurrentSize,
                                  int ATotalOutputDuration) {
  // A stop that came while a task on the calling thread was being started reaches its
  // engine here at the latest.
  if (ATask.StopAsked()) ATask.RequestStop();
  std::scoped_lock Guard(Lock);
  if (!OnProgress || ATask.Detached) return;
  try {
    OnProgress(ATask.Index(), AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate,
               ACurrentSize, ATotalOutputDuration);
  } catch (...) {}
}

void TCustomConverter::DoTaskTerminate(TFFmpeg& ATask) {
  if (ATask.Phase() == TTaskPhase::tsStopped) {
    // A task that never ran still cleans its engine up, so that no empty output stays behind.
    // Outside the lock: the clean-up may log and close codecs. The engine is this thread's
    // from here on.
    ATask.CloseInputView();
    ATask.AdoptOwnerThread();
    ATask.Cleanup();
  }
  std::optional<TClaim> Next;
  {
    std::scoped_lock Guard(Lock);
    ATask.SetThreadID(std::thread::id());
    if (ATask.Detached) return;
    RaiseTerminate(ATask.Index(), ATask.Finished(), ATask.ErrorOccurred(), ATask.ErrorMessage());
    ++EndedCount;
    if (LeftToStart > 0) Next = ClaimNext();
    FinishRunIfDone();
  }
  // The next task starts from this thread, once the lock is let go.
  if (Next) StartClaimed(*Next);
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

void TCustomConverter::RaiseTerminate(int AIndex, bool AFinished, bool AException,
                                      const std::string& AMessage) {
  if (!OnTerminate) return;
  try {
    OnTerminate(AIndex, AFinished, AException, AMessage);
  } catch (...) {}
}

std::optional<TCustomConverter::TClaim> TCustomConverter::ClaimNext() {
  while (LeftToStart > 0) {
    --LeftToStart;
    const int Index = NextTask++;
    std::lock_guard Scan(ScanLock);
    if (TaskList.Contains(Index) && TaskList.At(Index).Claim()) {
      std::lock_guard Guard(InFlightLock);
      ++InFlight;
      return TClaim{&TaskList.At(Index), Index, Generation, ThreadCount > 0};
    }
    // Gone, ended or stopped in an earlier run: it will not start, so it counts as ended.
    ++EndedCount;
  }
  return std::nullopt;
}

void TCustomConverter::FinishRunIfDone() {
  if (!RunActive || LeftToStart > 0 || EndedCount < TaskCount()) return;
  RunActive = false;
  RaiseTerminate(-1, true, false, "");
  LogLines().Clear();
}

void TCustomConverter::ReleaseInFlight() {
  std::lock_guard Guard(InFlightLock);
  --InFlight;
  InFlightChanged.notify_all();
}

void TCustomConverter::StartClaimed(const TClaim& AClaim) {
  if (AClaim.Async) {
    StartTask(*AClaim.Task, true);
  } else {
    std::weak_ptr<bool> Living = Alive;
    Timers->StartOneShot(std::chrono::milliseconds(100), AClaim.Index,
                         [this, Living, Generation = AClaim.Generation](int32_t ATag) {
                           if (Living.lock()) StartTimedTask(Generation, ATag);
                         });
  }
  ReleaseInFlight();
}

void TCustomConverter::StartTimedTask(uint64_t AGeneration, int AIndex) {
  TFFmpeg* Task = nullptr;
  {
    std::scoped_lock Guard(Lock);
    std::lock_guard Scan(ScanLock);
    if (AGeneration != Generation || !TaskList.Contains(AIndex)) return;
    Task = &TaskList.At(AIndex);
    std::lock_guard InFlightGuard(InFlightLock);
    ++InFlight;
  }
  StartTask(*Task, false);
  ReleaseInFlight();
}

void TCustomConverter::StartTask(TFFmpeg& ATask, bool AAsync) {
  TEventScope Scope;
  if (!ATask.BeginRun()) return; // a stop came first and reports the end
  // A task may start on the thread of the task that ended before it: the engine is this
  // thread's from here on.
  ATask.AdoptOwnerThread();
  // The run frees the input: the probe and the input view let go of it now.
  ATask.CloseInputView();
  ATask.SetReportInterval(static_cast<int64_t>(ProgressInterval()) * 1000);
  ATask.SetVerbosity(IntegerLevelOf(LogLevel()));
  if (!AAsync) {
    ATask.SetThreadID(std::this_thread::get_id());
    ATask.Publish();
    ATask.Start(false, ThreadPriority());
    return;
  }
  std::shared_ptr<TWorkerThread> Thread;
  try {
    Thread = ATask.Start(true, ThreadPriority());
  } catch (...) {
    // No thread could be made: the task still ends, once, from here.
    ReportEndHere(ATask);
    return;
  }
  if (!Thread) return; // refused: the end has already been reported
  ATask.SetThreadID(Thread->ThreadId());
  ATask.Publish();
  if (ATask.StopAsked()) ATask.RequestStop();
  Thread->Resume();
}

void TCustomConverter::BindCallbacks(TFFmpeg& ATask) {
  ATask.SetProgressCallback([this](TCustomFFmpeg& AEngine, int AFrameNumber, int AFPS,
                                   int ACurrentDuration, float AQuality, float ABitRate,
                                   int64_t ACurrentSize, int ATotalDuration) {
    TEventScope Scope;
    DoProgress(static_cast<TFFmpeg&>(AEngine), AFrameNumber, AFPS, ACurrentDuration, AQuality,
               ABitRate, ACurrentSize, ATotalDuration);
  });
  ATask.SetTerminateCallback([this](TCustomFFmpeg& AEngine) {
    TFFmpeg& Task = static_cast<TFFmpeg&>(AEngine);
    {
      TEventScope Scope;
      DoTaskTerminate(Task);
    }
    Task.NoteEndReported(); // the last touch of the task on this thread
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
      if (Task->Phase() != TTaskPhase::tsEnded) Task->AskStop();
      Parked.push_back(std::move(Task));
    }
    return;
  }
  {
    std::unique_lock Guard(InFlightLock);
    InFlightChanged.wait(Guard, [this] { return InFlight == 0; });
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
  // A library line being routed may still hold a pointer found before the tasks left the
  // list; the routing holds the list lock throughout, so passing through it waits for that.
  { std::lock_guard Barrier(ComponentListLock()); }
  for (auto& Task : ATasks) Task->RequestStop(); // stop them all before waiting for any
  ATasks.clear();
}

} // namespace pelorix
