// The engine's worker threads: created suspended with a priority, resumed by their owner.
#include "WorkerThread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace pelorix {

void ApplyThreadPriority(TConvertPriority APriority) {
  if (APriority == TConvertPriority::tpIdle) {
    sched_param Param{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &Param);
    return;
  }
  const int Step = APriority == TConvertPriority::tpLowest  ? 10
                   : APriority == TConvertPriority::tpLower ? 5
                                                            : 0;
  if (Step == 0) return;
  // On Linux the nice value belongs to the thread named by its id. Failure only means the
  // thread keeps running at its inherited priority.
  const id_t Tid = static_cast<id_t>(::gettid());
  errno = 0;
  const int Current = ::getpriority(PRIO_PROCESS, Tid);
  if (errno == 0) ::setpriority(PRIO_PROCESS, Tid, Current + Step);
}

std::shared_ptr<TWorkerThread> TWorkerThread::CreateSuspended(TConvertPriority APriority,
                                                              std::function<void()> ABody) {
  std::shared_ptr<TWorkerThread> Worker(new TWorkerThread(APriority, std::move(ABody)));
  // The thread holds its own reference, so the state lives until the body has returned even
  // when every other holder has let go.
  std::thread Thread([Self = Worker] { Self->Execute(); });
  Worker->Id = Thread.get_id();
  Thread.detach();
  return Worker;
}

TWorkerThread::TWorkerThread(TConvertPriority APriority, std::function<void()> ABody)
    : Priority(APriority), Body(std::move(ABody)) {}

void TWorkerThread::Execute() {
  {
    std::unique_lock Guard(Lock);
    Changed.wait(Guard, [this] { return Resumed; });
  }
  ApplyThreadPriority(Priority);
  try {
    Body();
  } catch (...) {
    // Nothing may cross the thread's entry; the body reports its own failures.
  }
  Body = nullptr;
  std::lock_guard Guard(Lock);
  Finished = true;
  Changed.notify_all();
}

void TWorkerThread::Resume() {
  std::lock_guard Guard(Lock);
  Resumed = true;
  Changed.notify_all();
}

bool TWorkerThread::IsSuspended() const {
  std::lock_guard Guard(Lock);
  return !Resumed;
}

bool TWorkerThread::IsFinished() const {
  std::lock_guard Guard(Lock);
  return Finished;
}

void TWorkerThread::WaitFor() {
  if (std::this_thread::get_id() == Id) return;
  std::unique_lock Guard(Lock);
  Changed.wait(Guard, [this] { return Finished; });
}

} // namespace pelorix
