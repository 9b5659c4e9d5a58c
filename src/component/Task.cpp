#include "Task.h"

#include "FileIdentity.h"

#include <sys/stat.h>

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

// The size and modification time of APath; false when it cannot be read.
bool FileStamp(const std::string& APath, int64_t& ASize, int64_t& ATime) {
  struct stat Info {};
  if (::stat(APath.c_str(), &Info) != 0) return false;
  ASize = Info.st_size;
  ATime = static_cast<int64_t>(Info.st_mtim.tv_sec) * 1000000000 + Info.st_mtim.tv_nsec;
  return true;
}

// Whether the run handed a packet to any output: a stop before the first leaves a file that
// holds no more than its header.
bool WroteMedia(const TRunSpans& ASpans) {
  for (const TOutputStreamSpan& Output : ASpans.Outputs)
    if (Output.Packets > 0) return true;
  return false;
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
  DropReservation();
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
  if (SameLocalFile(AFileName, SourceName)) {
    AError = "Output file '" + AFileName + "' is the input file '" + SourceName +
             "': choose another output file";
    return false;
  }
  {
    TOutputClaim Trial; // the open writes only a temporary file, removed after the close
    TFilesClosed Closed(*Engine);
    if (!OpenInput(AVerbosity, AError)) return false;
    if (!Trial.Begin(AFileName, AError, false)) return false;
    ApplyOutput(AOptions ? std::optional<TOutputOptions>(*AOptions) : std::nullopt);
    if (!Engine->OpenOutputFile(Trial.TemporaryName())) {
      AError = Engine->LastErrorText();
      const std::string Temporary = Trial.TemporaryName();
      for (size_t Pos; (Pos = AError.find(Temporary)) != std::string::npos;)
        AError.replace(Pos, Temporary.size(), AFileName);
      return false;
    }
  }
  DropReservation();
  ReserveOutputName(AFileName);
  std::lock_guard Guard(ViewLock);
  OutputName = AFileName;
  OutputRecord = AOptions ? std::optional<TOutputOptions>(*AOptions) : std::nullopt;
  OutputSet = true;
  Reserved = AFileName;
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
  if (!FileStamp(SourceName, SourceSize, SourceTime)) SourceSize = SourceTime = -1;
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
    if (SameLocalFile(Name, SourceName)) {
      AError = "Output file '" + Name + "' is the input file '" + SourceName +
               "': choose another output file";
      return false;
    }
    if (!OutputFile.Begin(Name, AError)) return false;
    ApplyOutput(Options);
    if (!Engine->OpenOutputFile(OutputFile.TemporaryName())) {
      AError = ShownName(Engine->LastErrorText());
      return false;
    }
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
  OutputFile.Abandon();
  DropReservation();
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
  {
    std::lock_guard Guard(ViewLock);
    Preset = NoRunResult;
  }
  if (Preset)
    Made = *Preset;
  else if (Engine->ErrorOccurred())
    Made = {TTaskOutcome::toFailed, ShownName(Engine->ErrorMessage())};
  else if (Engine->Finished())
    Made = CheckedOutput();
  else if (Ran && OutputFile.HasContent() && WroteMedia(Engine->RunSpans()))
    Made = {TTaskOutcome::toStopped, ""};
  else
    Made = {TTaskOutcome::toNotStarted, ""};
  // What is kept gets its final name, or the next free one when another program took it
  // meanwhile; anything else leaves no file behind.
  std::string Named;
  if (Made.Outcome == TTaskOutcome::toConverted || Made.Outcome == TTaskOutcome::toIncomplete ||
      Made.Outcome == TTaskOutcome::toStopped) {
    std::string Error;
    if (OutputFile.Commit(false, Error))
      Named = OutputFile.FinalName();
    else
      Made = {TTaskOutcome::toFailed, Error};
  } else {
    OutputFile.Abandon();
  }
  DropReservation();
  std::lock_guard Guard(ViewLock);
  if (!Named.empty()) OutputName = Named;
  Result = Made;
  if (Made.Outcome == TTaskOutcome::toFailed) LastErrorText = Made.Reason;
  return Made;
}

TTaskResult TFFmpeg::CheckedOutput() {
  try {
    const bool Changed = SourceChanged();
    const std::string Shortfall =
        RunOutputShortfall(OutputFile.TemporaryName(), OutputSetting(Changed), Engine->RunSpans());
    if (Shortfall.empty()) return {TTaskOutcome::toConverted, ""};
    return {TTaskOutcome::toIncomplete,
            Changed ? "the source changed while it was converted: " + Shortfall : Shortfall};
  } catch (const std::exception& E) {
    return {TTaskOutcome::toFailed, std::string("The output could not be checked: ") + E.what()};
  } catch (...) {
    return {TTaskOutcome::toFailed, "The output could not be checked"};
  }
}

bool TFFmpeg::SourceChanged() const {
  int64_t Size = -1, Time = -1;
  if (!FileStamp(SourceName, Size, Time)) return SourceSize >= 0; // gone since
  return SourceSize >= 0 && (Size != SourceSize || Time != SourceTime);
}

TOutputSetting TFFmpeg::OutputSetting(bool ASourceChanged) const {
  TOutputSetting Setting;
  std::lock_guard Guard(ViewLock);
  Setting.Source = Summary;
  if (OutputRecord) {
    Setting.DropsAudio = OutputRecord->DisableAudio;
    Setting.DropsVideo = OutputRecord->DisableVideo;
    if (OutputRecord->Duration > 0) Setting.LimitSeconds = OutputRecord->Duration / 1000.0;
  }
  Setting.SourceChanged = ASourceChanged;
  return Setting;
}

void TFFmpeg::NoteEndReported() {
  PhaseValue.store(TRunPhase::rpEnded);
  std::lock_guard Guard(EndLock);
  EndReported = true;
  EndChanged.notify_all();
}

void TFFmpeg::ReleaseOutputName() { DropReservation(); }

void TFFmpeg::DropReservation() {
  std::string Name;
  {
    std::lock_guard Guard(ViewLock);
    Name.swap(Reserved);
  }
  if (!Name.empty()) pelorix::ReleaseOutputName(Name);
}

std::string TFFmpeg::ShownName(std::string AText) const {
  const std::string& Temporary = OutputFile.TemporaryName();
  if (Temporary.empty()) return AText;
  for (size_t Pos; (Pos = AText.find(Temporary)) != std::string::npos;)
    AText.replace(Pos, Temporary.size(), OutputFile.FinalName());
  return AText;
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
