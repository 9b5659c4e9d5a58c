// One-shot timers for runs on the converter's own thread (Start with no worker threads).
//
// The converter asks its timer service for a one-shot timer tagged with a task index; when it
// fires, the callback runs on the thread that serves the timers, which becomes the task's
// thread. A window implements TTimerService with its toolkit's timer so that tasks run on its
// GUI thread. Without one the converter uses a TTimerPump: an explicit pump that tests and
// command-line programs drive on their own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace pelorix {

class TTimerService {
public:
  virtual ~TTimerService() = default;
  // Calls AOnFire (ATag) once, on the serving thread, after about ADelay. Any thread.
  virtual void StartOneShot(std::chrono::milliseconds ADelay, int32_t ATag,
                            std::function<void(int32_t ATag)> AOnFire) = 0;
};

class TTimerPump : public TTimerService {
public:
  void StartOneShot(std::chrono::milliseconds ADelay, int32_t ATag,
                    std::function<void(int32_t ATag)> AOnFire) override;

  // The pumping thread: waits up to AMaxWait for the earliest timer to fall due and fires it.
  // False when none fell due in that time.
  bool FireNext(std::chrono::milliseconds AMaxWait);
  // The pumping thread: fires timers as they fall due, also those the fired ones start, until
  // none is left (true) or none fell due within AMaxWait (false).
  bool RunUntilIdle(std::chrono::milliseconds AMaxWait = std::chrono::seconds(60));
  // Any thread.
  size_t PendingCount() const;
  // Any thread: forgets every pending timer.
  void Clear();

private:
  struct TTimer {
    std::chrono::steady_clock::time_point Due;
    int32_t Tag;
    std::function<void(int32_t)> OnFire;
  };

  mutable std::mutex Lock;
  std::condition_variable Changed;
  std::vector<TTimer> Timers;
};

} // namespace pelorix
