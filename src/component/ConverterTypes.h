// Shared types of the converter component: log levels, the events it raises and the
// re-entrant lock that serialises them.
#pragma once

#include "FFmpeg.h"
#include "TaskOutcome.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace pelorix {

enum class TLogLevel { llQuiet, llError, llInfo, llDebug, llAll };

// The engine's and the libraries' integer scale: the ordinal minus 1 (-1 quiet .. 3 all).
inline int IntegerLevelOf(TLogLevel ALevel) { return static_cast<int>(ALevel) - 1; }
// The other way, for reported levels: below 0 quiet, 3 and above all.
inline TLogLevel LogLevelOf(int ALevel) {
  if (ALevel < 0) return TLogLevel::llQuiet;
  if (ALevel >= 3) return TLogLevel::llAll;
  return static_cast<TLogLevel>(ALevel + 1);
}

// Events: no sender; AIndex is the task's index or -1. The handler runs on the thread that
// produced the event (a worker for threaded tasks); log, progress and end events hold the
// component's lock, so a handler must never wait for another thread that may raise one.
using TBeforeHookEvent = std::function<void(int AIndex, int64_t APTS, THookAction& AHookAction)>;
using TCustomHookEvent = std::function<void(int AIndex, THookBitmap& ABitmap, int AFrameNumber,
                                            int64_t APTS, bool& AUpdate, bool& AStopHook)>;
using TLogEvent = std::function<void(int AIndex, TLogLevel ALogLevel, const std::string& AMsg)>;
using TProgressEvent =
    std::function<void(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                       float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration)>;
// A task's end carries its result; the run's final end (AIndex -1) carries toNone.
using TTerminateEvent = std::function<void(int AIndex, const TTaskResult& AResult)>;

// A recursive mutex that knows whether the calling thread holds it. Any thread.
class TComponentLock {
public:
  void lock() {
    Mutex.lock();
    if (Depth++ == 0) Owner.store(std::this_thread::get_id());
  }
  void unlock() {
    if (--Depth == 0) Owner.store(std::thread::id());
    Mutex.unlock();
  }
  bool HeldByCaller() const { return Owner.load() == std::this_thread::get_id(); }

private:
  std::recursive_mutex Mutex;
  std::atomic<std::thread::id> Owner{};
  int Depth = 0; // written only by the holder
};

} // namespace pelorix
