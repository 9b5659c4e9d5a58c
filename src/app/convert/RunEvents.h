// The batch command line's hand-over of the converter's events: the handlers, on the
// converter's threads and under its lock, only copy an event into the queue; the main thread
// takes them out and does everything else with no lock of its own held, so it may call into
// the converter (Stop) at any time.
#pragma once

#include "TaskOutcome.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace pelorix {

struct TRunEvent {
  int Index = -1; // the task's, or -1 for the run's end
  bool End = false; // an end with its Result, else a progress report
  TTaskResult Result;
  int64_t DoneMs = 0, TotalMs = 0; // a report's output duration and total (0 or less: unknown)
  std::chrono::steady_clock::time_point At = std::chrono::steady_clock::now();
};

class TRunEventQueue {
public:
  // Any thread; holds the queue's lock for the copy alone.
  void Push(TRunEvent AEvent) {
    std::lock_guard Guard(Lock);
    Events.push_back(std::move(AEvent));
    Changed.notify_all();
  }
  // The main thread: every event queued so far, after waiting up to AMaxWait for one.
  std::vector<TRunEvent> Take(std::chrono::milliseconds AMaxWait) {
    std::unique_lock Guard(Lock);
    Changed.wait_for(Guard, AMaxWait, [this] { return !Events.empty(); });
    std::vector<TRunEvent> Taken;
    Taken.swap(Events);
    return Taken;
  }

private:
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<TRunEvent> Events;
};

} // namespace pelorix
