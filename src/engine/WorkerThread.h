// A worker thread as the engine and the component use it: created suspended with a priority,
// resumed by its owner, and freeing itself when its body ends. Whoever holds the returned
// pointer may wait for the body to finish.
//
// Threads: Create on any thread; Resume and WaitFor from any thread other than the worker.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace pelorix {

enum class TConvertPriority { tpIdle, tpLowest, tpLower, tpNormal };

class TWorkerThread {
public:
  // The body must not throw; anything it lets escape is swallowed at the thread's entry.
  static std::shared_ptr<TWorkerThread> CreateSuspended(TConvertPriority APriority,
                                                        std::function<void()> ABody);

  void Resume();
  bool IsSuspended() const;
  bool IsFinished() const;
  // Blocks until the body has returned. Returns at once when called on the worker itself.
  void WaitFor();
  std::thread::id ThreadId() const { return Id; }

private:
  TWorkerThread(TConvertPriority APriority, std::function<void()> ABody);
  void Execute();

  TConvertPriority Priority;
  std::function<void()> Body;
  mutable std::mutex Lock;
  std::condition_variable Changed;
  bool Resumed = false;
  bool Finished = false;
  std::thread::id Id;
};

// Applies a priority to the calling thread (idle: the idle scheduling class; lowest and
// lower: a higher nice value than the process's; normal: unchanged).
void ApplyThreadPriority(TConvertPriority APriority);

} // namespace pelorix
