// Start, stop, end and destruction of an engine's run.
#include "FFmpeg.h"

namespace pelorix {

TCustomFFmpeg::~TCustomFFmpeg() {
  // A run still in progress owns the engine's state: ask it to stop and wait until every
  // thread of this engine (the run, or the thread that reports a never-run end) has returned
  // before anything is freed.
  RequestStop();
  std::vector<std::shared_ptr<TWorkerThread>> Pending;
  {
    std::lock_guard Guard(WorkersLock);
    Pending.swap(Workers);
  }
  for (const auto& Worker : Pending) Worker->WaitFor();
  ReleaseAll();
}

void TCustomFFmpeg::RunFailed(const std::string& AMessage) {
  Log(-1, AMessage);
  Run.ErrorOccurred = true;
  Run.ErrorMessage = AMessage;
}

std::shared_ptr<TWorkerThread> TCustomFFmpeg::Start(bool AAsync, TConvertPriority APriority) {
  Owner.Check(__func__);
  if (Run.Running || Run.Ended) return nullptr;
  const char* Missing = nullptr;
  if (Files.OutputFileCount <= 0)
    Missing = "Must supply at least one output file";
  else if (Files.InputFileCount == 0)
    Missing = "Must supply at least one input file";
  if (Missing) {
    Cleanup();
    RunFailed(Missing);
    EndRun();
    return nullptr;
  }
  Run.Running = true;
  Run.StopRequested = false;
  Run.Finished = false;
  Run.Ended = false;
  if (!AAsync) {
    RunTranscode();
    return nullptr;
  }
  auto Worker = TWorkerThread::CreateSuspended(APriority, [this] { RunTranscode(); });
  std::lock_guard Guard(WorkersLock);
  Workers.push_back(Worker);
  Run.Thread = Worker;
  return Worker;
}

void TCustomFFmpeg::RequestStop() {
  Run.StopRequested = true;
  std::lock_guard Guard(WorkersLock);
  if (Run.Thread && Run.Thread->IsSuspended()) Run.Thread->Resume();
}

void TCustomFFmpeg::Stop() {
  if (Run.Running) {
    RequestStop();
    return;
  }
  if (Run.Ended || EndScheduled.exchange(true)) return;
  // A task that never ran still reports its end, from a thread of its own.
  auto Reporter = TWorkerThread::CreateSuspended(TConvertPriority::tpIdle, [this] { EndRun(); });
  {
    std::lock_guard Guard(WorkersLock);
    Workers.push_back(Reporter);
  }
  Reporter->Resume();
}

void TCustomFFmpeg::EndRun() {
  Run.Running = false;
  Run.Ended = true;
  {
    std::lock_guard Guard(WorkersLock);
    Run.Thread.reset();
  }
  if (Callbacks.TerminateCallback) Callbacks.TerminateCallback(*this);
}

} // namespace pelorix
