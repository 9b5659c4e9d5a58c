// TFFmpeg: one conversion task of the converter — an engine with the task's index, the thread
// that runs it, its option records and a probe of its input — and TFFmpegList, the converter's
// ordered list of them.
//
// Threads: the converter configures a task on its own thread before the run. Index, ThreadID,
// the run phase and the end report are read and written by the task's threads as well and are
// atomic or locked. A task is destroyed only on a thread that is not inside one of its
// callbacks and holds no converter lock; the destructor waits until a started or stopped task
// has reported its end.
#pragma once

#include "AVProbe.h"
#include "FFmpeg.h"
#include "TaskOptions.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace pelorix {

// Where a task is in a run. Waiting → Claimed (counted to start) → Running (engine started)
// → Published (its thread known, may be stopped); Waiting or Claimed → Stopped (a stop came
// first; the engine reports a never-run end). Ended once the end has been reported.
enum class TTaskPhase { tsWaiting, tsClaimed, tsRunning, tsPublished, tsStopped, tsEnded };

class TFFmpeg : public TCustomFFmpeg {
public:
  TFFmpeg() = default;
  ~TFFmpeg() override;

  // Any thread.
  int Index() const { return IndexValue.load(); }
  void SetIndex(int AIndex) { IndexValue.store(AIndex); }
  // The thread running the task while it runs; a default id otherwise. Any thread.
  std::thread::id ThreadID() const { return ThreadValue.load(); }
  void SetThreadID(std::thread::id AThread) { ThreadValue.store(AThread); }

  // The converter's thread, while the task is configured.
  TInputOptions& InputOptions() { return InputRecord; }
  TOutputOptions& OutputOptions() { return OutputRecord; }
  // The probe attached to the opened input; closed once the task starts, because the run
  // frees the input. The converter's thread, before the run.
  TAVProbe& Probe() { return InputProbe; }

  // Any thread: the first opened input, or null once the task has started or been stopped.
  AVFormatContext* FirstInputContext();
  // Attaches the probe to the last opened input. The converter's thread, after the open.
  void AttachProbe();
  // The input is about to be freed: the probe lets go and FirstInputContext gives null.
  void CloseInputView();

  // Run phase changes; each is one atomic step and false when the task is not in the phase
  // it leaves. Any thread.
  TTaskPhase Phase() const { return PhaseValue.load(); }
  bool Claim() { return Move(TTaskPhase::tsWaiting, TTaskPhase::tsClaimed); }
  bool BeginRun() { return Move(TTaskPhase::tsClaimed, TTaskPhase::tsRunning); }
  void Publish() { PhaseValue.store(TTaskPhase::tsPublished); }
  bool StopBeforeRun() {
    return Move(TTaskPhase::tsWaiting, TTaskPhase::tsStopped) ||
           Move(TTaskPhase::tsClaimed, TTaskPhase::tsStopped);
  }
  // A stop for a running task; it is passed on once the task's thread is published.
  void AskStop();
  bool StopAsked() const { return StopAskedValue.load(); }

  // The end report's last step, on the reporting thread; nothing of the task is touched
  // after it.
  void NoteEndReported();

  // Set under the converter's lock when the task leaves the list; its events are dropped.
  bool Detached = false;

private:
  bool Move(TTaskPhase AFrom, TTaskPhase ATo) {
    return PhaseValue.compare_exchange_strong(AFrom, ATo);
  }

  std::atomic<int> IndexValue{-1};
  std::atomic<std::thread::id> ThreadValue{};
  std::atomic<TTaskPhase> PhaseValue{TTaskPhase::tsWaiting};
  std::atomic<bool> StopAskedValue{false};
  TInputOptions InputRecord;
  TOutputOptions OutputRecord;

  std::mutex InputLock; // guards the probe and the input view against the run's clean-up
  bool InputOpen = false;
  TAVProbe InputProbe;

  std::mutex EndLock;
  std::condition_variable EndChanged;
  bool EndReported = false;
};

using TFFmpegPtr = std::unique_ptr<TFFmpeg>;

// The converter's tasks in list order. Invariant: every task's Index is its position.
// Changed only under the converter's lock and its scan lock.
class TFFmpegList {
public:
  int Count() const { return static_cast<int>(Items.size()); }
  TFFmpeg& At(int AIndex) const { return *Items[static_cast<size_t>(AIndex)]; }
  bool Contains(int AIndex) const { return AIndex >= 0 && AIndex < Count(); }
  int Add(TFFmpegPtr ATask);
  TFFmpegPtr Remove(int AIndex);
  std::vector<TFFmpegPtr> TakeAll();

private:
  std::vector<TFFmpegPtr> Items;
};

} // namespace pelorix
