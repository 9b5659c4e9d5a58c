#include "Task.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelorix {

namespace {

// Closes whatever the engine has open when it goes out of scope, on every path.
class TFilesClosed {
public:
  explicit TFilesClosed(TCustomFFmpeg& AEngine) : Engine(AEngine) {}
  ~TFilesClosed() { Engine.Cleanup(); }
  TFilesClosed(const TFilesClosed&) = delete;
  TFilesClosed& operator=(const TFilesClosed&) = delete;

private:
  TCustomFFmpeg& Engine;
};

bool PathExists(const std::string& APath) {
  struct stat Info {};
  return ::lstat(APath.c_str(), &Info) == 0;
}

bool IsRegularFile(const std::string& APath, off_t* ASize = nullptr) {
  struct stat Info {};
  if (::stat(APath.c_str(), &Info) != 0 || !S_ISREG(Info.st_mode)) return false;
  if (ASize) *ASize = Info.st_size;
  return true;
}

bool CreateEmptyFile(const std::string& APath) {
  const int File = ::open(APath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (File < 0) return false;
  ::close(File);
  return true;
}

TTaskState StateOf(TRunPhase APhase, bool AOutputSet, bool AEnded) {
  if (AEnded) return TTaskState::tsEnded; // from the end event on
  switch (APhase) {
  case TRunPhase::rpWaiting:
    return AOutputSet ? TTaskState::tsConfigured : TTaskState::tsListed;
  case TRunPhase::rpEnded:
    return TTaskState::tsEnded;
  default:
    return TTaskState::tsRunning;
  }
}

} // namespace

TFFmpeg::TFFmpeg(const std::string& ASourcePath, const TInputOptions* AInput, int32_t ASerial)
    : SerialValue(ASerial), SourceName(ASourcePath),
      InputRecord(AInput ? std::optional<TInputOptions>(*AInput) : std::nullopt),
      Engine(std::make_unique<TCustomFFmpeg>()) {}

TFFmpeg::~TFFmpeg() {
  // The run's thread and a never-run end's reporter touch this task until the end is
  // reported, and the run's thread returns through it afterwards: wait for both.
  const TRunPhase Now = Phase();
  if (Now != TRunPhase::rpWaiting && Now != TRunPhase::rpClaimed) {
    RequestStop();
    std::unique_lock Guard(EndLock);
    EndChanged.wait(Guard, [this] { return EndReported; });
  }
  if (RunThread) RunThread->WaitFor();
  DropPlaceholder();
}

TTaskView TFFmpeg::View() const {
  TTaskView View;
  View.Index = Index();
  View.SourcePath = SourceName;
  std::lock_guard Guard(ViewLock);
  View.Source = Summary;
  View.OutputPath = OutputSet ? OutputName : std::string();
  View.State = StateOf(Phase(), OutputSet, Result.Ended());
  View.Result = Result;
  View.LastError = LastErrorText;
  return View;
}

void TFFmpeg::NoteFailure(const std::string& AText) {
  std::lock_guard Guard(ViewLock);
  LastErrorText = AText;
}

void TFFmpeg::BindCallbacks(TLogCallback ALog, TProgressCallback AProgress,
                            TTerminateCallback ATerminate, TBeforeHookCallback ABeforeHook,
                            TCustomHookCallback ACustomHook) {
  Engine->SetLogCallback(std::move(ALog));
  Engine->SetProgressCallback(std::move(AProgress));
  Engine->SetTerminateCallback(std::move(ATerminate));
  BeforeHook = std::move(ABeforeHook);
  CustomHook = std::move(ACustomHook);
}

bool TFFmpeg::OpenInput(int AVerbosity, std::string& AError) {
  Engine->Reset();
  Engine->SetVerbosity(AVerbosity);
  if (InputRecord) ApplyInputOptions(*Engine, *InputRecord);
  if (Engine->OpenInputFile(SourceName)) return true;
  AError = Engine->LastErrorText();
  return false;
}

void TFFmpeg::ApplyOutput(const std::optional<TOutputOptions>& AOptions) {
  // A reset engine keeps its callbacks: the hooks of an earlier setting go first.
  Engine->SetCustomHookCallback(nullptr);
  Engine->SetBeforeHookCallback(nullptr);
  if (!AOptions) return;
  const TOutputOptions& O = *AOptions;
  ApplyExtOptions(*Engine, O.ExtOptions);
  ApplyOutputOptions(*Engine, O);
  ApplyTarget(*Engine, O);
  // One hook at most: the custom hook wins over the before-hook, either over the time ranges.
  if (O.CustomHook)
    Engine->SetCustomHookCallback(CustomHook);
  else if (O.BeforeHook)
    Engine->SetBeforeHookCallback(BeforeHook);
  else
    ApplyHookRanges(*Engine, O.HookRanges);
}

bool TFFmpeg::ReadSource(int AVerbosity, std::string& AError) {
  EngineThread.Check("TFFmpeg::ReadSource");
  TFilesClosed Closed(*Engine);
  if (!OpenInput(AVerbosity, AError)) return false;
  TAVProbe Probe;
  Probe.Attach(Engine->InputContext(Engine->InputFileCount() - 1));
  TProbeSummary Found = SummaryOf(Probe);
  Probe.Close();
  std::lock_guard Guard(ViewLock);
  Summary = std::move(Found);
  return true;
}

bool TFFmpeg::SetOutput(const std::string& AFileName, const TOutputOptions* AOptions,
                        int AVerbosity, std::string& AError) {
  EngineThread.Check("TFFmpeg::SetOutput");
  bool Created = false;
  {
    TFilesClosed Closed(*Engine);
    if (!OpenInput(AVerbosity, AError)) return false;
    std::string Held;
    {
      std::lock_guard Guard(ViewLock);
      Held = Placeholder;
    }
    const bool Existed = PathExists(AFileName) && AFileName != Held;
    ApplyOutput(AOptions ? std::optional<TOutputOptions>(*AOptions) : std::nullopt);
    if (!Engine->OpenOutputFile(AFileName)) {
      AError = Engine->LastErrorText();
      return false;
    }
    Created = !Existed && IsRegularFile(AFileName);
  }
  // The clean-up took the opened file away with it (it was empty). The name stays taken by an
  // empty file of our own, so that the next output's free name is another one.
  DropPlaceholder();
  if (Created) Created = CreateEmptyFile(AFileName);
  std::lock_guard Guard(ViewLock);
  OutputName = AFileName;
  OutputRecord = AOptions ? std::optional<TOutputOptions>(*AOptions) : std::nullopt;
  OutputSet = true;
  Placeholder = Created ? AFileName : std::string();
  return true;
}

bool TFFmpeg::HasOutput() const {
  std::lock_guard Guard(ViewLock);
  return OutputSet;
}

bool TFFmpeg::OpenForRun(int AVerbosity, int64_t AReportInterval, std::string& AError) {
  // The run's thread opens the files: the engine is this thread's from here on.
  EngineThread.Adopt();
  Engine->AdoptOwnerThread();
  EngineThread.Check("TFFmpeg::OpenForRun");
  if (!OpenInput(AVerbosity, AError)) return false;
  bool WithOutput = false;
  std::string Name;
  std::optional<TOutputOptions> Options;
  {
    std::lock_guard Guard(ViewLock);
    WithOutput = OutputSet;
    Name = OutputName;
    Options = OutputRecord;
  }
  // Without an output the engine's start refuses the run with its own message.
  if (WithOutput) {
    ApplyOutput(Options);
    if (!Engine->OpenOutputFile(Name)) {
      AError = Engine->LastErrorText();
      return false;
    }
    // The file is the run's now; an empty one left over goes with the engine's clean-up.
    std::lock_guard Guard(ViewLock);
    Placeholder.clear();
  }
  Engine->SetReportInterval(AReportInterval);
  Ran = true;
  return true;
}

void TFFmpeg::Run() {
  EngineThread.Check("TFFmpeg::Run");
  Engine->Start(false, TConvertPriority::tpNormal);
}

void TFFmpeg::CloseFiles() {
  // The thread that reports the task's end may be neither the owner's nor the run's.
  Engine->AdoptOwnerThread();
  Engine->Cleanup();
  DropPlaceholder();
}

AVFormatContext* TFFmpeg::RunInputContext() const { return Engine->InputContext(0); }

void TFFmpeg::AskStop() {
  // Paired with the starter, which publishes the thread and then reads the request: one of
  // the two sees the other and the engine gets the stop after its start.
  StopAskedValue.store(true);
  if (Phase() == TRunPhase::rpPublished) RequestStop();
}

void TFFmpeg::AttachRunThread(std::shared_ptr<TWorkerThread> AThread) {
  RunThread = std::move(AThread);
}

void TFFmpeg::SetNoRunResult(const TTaskResult& AResult) {
  std::lock_guard Guard(ViewLock);
  NoRunResult = AResult;
}

TTaskResult TFFmpeg::TakeResult() {
  TTaskResult Made;
  std::optional<TTaskResult> Preset;
  std::string Output;
  {
    std::lock_guard Guard(ViewLock);
    Preset = NoRunResult;
    Output = OutputSet ? OutputName : std::string();
  }
  off_t Size = 0;
  if (Preset)
    Made = *Preset;
  else if (Engine->ErrorOccurred())
    Made = {TTaskOutcome::toFailed, Engine->ErrorMessage()};
  else if (Engine->Finished())
    Made = {TTaskOutcome::toConverted, ""};
  else if (Ran && IsRegularFile(Output, &Size) && Size > 0)
    Made = {TTaskOutcome::toStopped, ""};
  else
    Made = {TTaskOutcome::toNotStarted, ""};
  std::lock_guard Guard(ViewLock);
  Result = Made;
  if (Made.Outcome == TTaskOutcome::toFailed) LastErrorText = Made.Reason;
  return Made;
}

void TFFmpeg::NoteEndReported() {
  PhaseValue.store(TRunPhase::rpEnded);
  std::lock_guard Guard(EndLock);
  EndReported = true;
  EndChanged.notify_all();
}

void TFFmpeg::ReleaseOutputName() { DropPlaceholder(); }

void TFFmpeg::DropPlaceholder() {
  std::string Name;
  {
    std::lock_guard Guard(ViewLock);
    Name.swap(Placeholder);
  }
  off_t Size = 0;
  if (!Name.empty() && IsRegularFile(Name, &Size) && Size == 0) ::unlink(Name.c_str());
}

TFFmpeg* TFFmpegList::Find(int32_t ASerial) const {
  for (const TFFmpegPtr& Task : Items)
    if (Task->Serial() == ASerial) return Task.get();
  return nullptr;
}

int TFFmpegList::Add(TFFmpegPtr ATask) {
  ATask->SetIndex(Count());
  Items.push_back(std::move(ATask));
  return Count() - 1;
}

TFFmpegPtr TFFmpegList::Remove(int AIndex) {
  TFFmpegPtr Task = std::move(Items[static_cast<size_t>(AIndex)]);
  Items.erase(Items.begin() + AIndex);
  for (int I = AIndex; I < Count(); ++I) At(I).SetIndex(I);
  return Task;
}

std::vector<TFFmpegPtr> TFFmpegList::TakeAll() {
  std::vector<TFFmpegPtr> All;
  All.swap(Items);
  return All;
}

} // namespace pelorix
