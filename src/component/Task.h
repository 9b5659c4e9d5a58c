// TFFmpeg: one conversion task of the converter — an engine, the records it is configured
// from (source, input options, output name and options), what the add found in the source,
// the thread that runs it, its run phase and its end — and TFFmpegList, the converter's ordered
// list of them. Only the converter holds tasks; everyone else sees a TTaskView.
//
// A task holds no open file until its run starts, so that a batch of any size stays within the
// process's open-file limit: reading the source at the add opens and closes it, setting the
// output opens both files to check them (the output under a temporary name) and closes them
// again, and the run's thread opens both anew from the records. Until the run the output's
// name is reserved within the process; the run writes a temporary file (TOutputClaim) that
// gets the output's name, or the next free one, only when the run has ended with a file to
// keep.
//
// Threads: the engine thread configures the engine — the converter's owner thread until a run
// starts, then the run's thread, which adopts the role (debug builds check it). Index,
// ThreadID, the run phase, the stop request and the end report are atomic or locked and may be
// read on any thread; the view's fields are behind a leaf lock. A task is destroyed only on a
// thread that is not inside one of its callbacks and holds no converter lock; the destructor
// waits until a started or stopped task has reported its end and its run's thread has returned.
#pragma once

#include "FFmpeg.h"
#include "OutputCheck.h"
#include "OutputClaim.h"
#include "ProbeSummary.h"
#include "TaskOptions.h"
#include "TaskView.h"
#include "ThreadAffinity.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pelorix {

// Where a task is in a run. Waiting -> Claimed (counted by a run) -> Running (its start
// began) -> Published (its thread known, may be stopped); Waiting or Claimed -> Stopped (a
// stop came first; the engine reports a never-run end). Ended once the end has been reported.
enum class TRunPhase { rpWaiting, rpClaimed, rpRunning, rpPublished, rpStopped, rpEnded };

class TFFmpeg {
public:
  // The task of ASourcePath; AInput, when given, is applied to the engine before every open of
  // the source. Nothing is opened yet. ASerial names the task for its life (timers use it).
  TFFmpeg(const std::string& ASourcePath, const TInputOptions* AInput, int32_t ASerial);
  ~TFFmpeg();
  TFFmpeg(const TFFmpeg&) = delete;
  TFFmpeg& operator=(const TFFmpeg&) = delete;

  // --- Identity and view (any thread) ---
  int Index() const { return IndexValue.load(); }
  void SetIndex(int AIndex) { IndexValue.store(AIndex); }
  int32_t Serial() const { return SerialValue; }
  // The thread running the task while it runs; a default id otherwise.
  std::thread::id ThreadID() const { return ThreadValue.load(); }
  void SetThreadID(std::thread::id AThread) { ThreadValue.store(AThread); }
  TTaskView View() const;
  // A failure to note in the view's LastError.
  void NoteFailure(const std::string& AText);

  // --- Configuration (the engine thread) ---
  // The engine's callbacks, bound once; the hook callbacks reach the engine only when an
  // output asks for its hook.
  void BindCallbacks(TLogCallback ALog, TProgressCallback AProgress, TTerminateCallback ATerminate,
                     TBeforeHookCallback ABeforeHook, TCustomHookCallback ACustomHook);
  // Opens the source, reads its summary and closes it. False with AError when it does not
  // open; the engine's exceptions (an input option it refuses) pass. Nothing stays open.
  bool ReadSource(int AVerbosity, std::string& AError);
  // Checks AFileName and AOptions (none: the engine's defaults) by opening the source and the
  // output as the run will (the output under a temporary name, removed again), closes both
  // and records them (the pad colour already resolved); the name is reserved until the task
  // runs or goes. An output that is the source is refused. False with AError, the earlier
  // output kept, when a file does not open; exceptions pass. Only while Waiting.
  bool SetOutput(const std::string& AFileName, const TOutputOptions* AOptions, int AVerbosity,
                 std::string& AError);
  bool HasOutput() const;
  // A task that will not run gives its output's name back. Any thread.
  void ReleaseOutputName();

  // --- The run (the run's thread) ---
  // Takes the engine over and opens the source and the output from the records, the output
  // under its temporary name. False with AError when one does not open; exceptions pass.
  // CloseFiles undoes a failed or unused open.
  bool OpenForRun(int AVerbosity, int64_t AReportInterval, std::string& AError);
  // The whole transcode, after OpenForRun; the end is reported through the terminate
  // callback before this returns. The task may be gone once it has returned.
  void Run();
  // Closes whatever the engine has open; the temporary file of an output the run did not
  // keep goes with it.
  void CloseFiles();
  // The first input container. Valid on the run's thread between OpenForRun and the run's
  // clean-up, which comes after the last progress and hook event.
  AVFormatContext* RunInputContext() const;

  // --- Run phase (any thread); each change is one atomic step, false when the task is not
  // in the phase it leaves ---
  TRunPhase Phase() const { return PhaseValue.load(); }
  bool Claim() { return Move(TRunPhase::rpWaiting, TRunPhase::rpClaimed); }
  bool BeginRun() { return Move(TRunPhase::rpClaimed, TRunPhase::rpRunning); }
  void Publish() { PhaseValue.store(TRunPhase::rpPublished); }
  bool StopBeforeRun() {
    return Move(TRunPhase::rpWaiting, TRunPhase::rpStopped) ||
           Move(TRunPhase::rpClaimed, TRunPhase::rpStopped);
  }
  // A stop for a running task; it reaches the engine once the task's thread is published.
  void AskStop();
  bool StopAsked() const { return StopAskedValue.load(); }
  // The stop request, at once: to the engine, and to a run still opening its files.
  void RequestStop() {
    StopAskedValue.store(true);
    Engine->RequestStop();
  }
  // A never-started task's end, reported from a thread the engine starts; raises when no
  // thread can be made.
  void ReportNeverRunEnd() { Engine->Stop(); }
  // The thread the run executes on; the destructor waits for it.
  void AttachRunThread(std::shared_ptr<TWorkerThread> AThread);

  // --- The end (the reporting thread) ---
  // A run that could not begin ends with this instead of the engine's result.
  void SetNoRunResult(const TTaskResult& AResult);
  // Makes the end's result from the engine (or the no-run result) and keeps it for the view.
  // A finished run's output is checked first (OutputCheck): one that lacks a stream, or holds
  // less or more than was read, is incomplete, with what it lacks; a check that cannot be
  // made fails the task. An output to keep (converted, incomplete, stopped) gets its final
  // name here, which the view then shows; any other run's temporary file is removed.
  TTaskResult TakeResult();
  // The end report's last step; nothing of the task is touched after it on that thread.
  void NoteEndReported();

  // --- Converter bookkeeping, under the converter's lock ---
  // Left the list: its events are dropped. Read on any thread.
  void Detach() { DetachedValue.store(true); }
  bool Detached() const { return DetachedValue.load(); }
  // Counted by the current run: its end is still to come.
  bool Counted() const { return CountedValue; }
  void SetCounted(bool ACounted) { CountedValue = ACounted; }
  // May be claimed by the current run: listed when it started, or configured during it.
  bool InRun() const { return InRunValue; }
  void SetInRun(bool AInRun) { InRunValue = AInRun; }

private:
  bool Move(TRunPhase AFrom, TRunPhase ATo) {
    return PhaseValue.compare_exchange_strong(AFrom, ATo);
  }
  bool OpenInput(int AVerbosity, std::string& AError);
  void ApplyOutput(const std::optional<TOutputOptions>& AOptions);
  void DropReservation();
  // The end of a finished run, from its output's check.
  TTaskResult CheckedOutput();
  // What the check knows of the task besides its run; ASourceChanged: the source changed while
  // it was read.
  TOutputSetting OutputSetting(bool ASourceChanged) const;
  bool SourceChanged() const;
  // The temporary name in an engine text about the output reads as the output's name.
  std::string ShownName(std::string AText) const;

  const int32_t SerialValue;
  const std::string SourceName;
  const std::optional<TInputOptions> InputRecord;
  TBeforeHookCallback BeforeHook;
  TCustomHookCallback CustomHook;
  TThreadAffinity EngineThread;
  bool Ran = false; // the run's thread opened the files (written there before the end)
  // The source's size and modification time when the run opened it (the run's thread).
  int64_t SourceSize = -1, SourceTime = -1;

  std::atomic<int> IndexValue{-1};
  std::atomic<std::thread::id> ThreadValue{};
  std::atomic<TRunPhase> PhaseValue{TRunPhase::rpWaiting};
  std::atomic<bool> StopAskedValue{false};
  std::atomic<bool> DetachedValue{false};
  bool CountedValue = false;
  bool InRunValue = false;

  mutable std::mutex ViewLock; // leaf: what follows, up to the end report
  TProbeSummary Summary;
  std::string OutputName;
  std::optional<TOutputOptions> OutputRecord;
  bool OutputSet = false;
  std::string Reserved; // the output's name, reserved until the run
  std::optional<TTaskResult> NoRunResult;
  TTaskResult Result;
  std::string LastErrorText;

  TOutputClaim OutputFile; // the run's output file; the run's thread, then the end report's

  std::shared_ptr<TWorkerThread> RunThread;
  std::mutex EndLock;
  std::condition_variable EndChanged;
  bool EndReported = false;

  // Last: the engine goes first, while everything its callbacks may reach still exists.
  std::unique_ptr<TCustomFFmpeg> Engine;
};

using TFFmpegPtr = std::unique_ptr<TFFmpeg>;

// The converter's tasks in list order. Invariant: every task's Index is its position.
// Changed only under the converter's lock and its scan lock.
class TFFmpegList {
public:
  int Count() const { return static_cast<int>(Items.size()); }
  TFFmpeg& At(int AIndex) const { return *Items[static_cast<size_t>(AIndex)]; }
  bool Contains(int AIndex) const { return AIndex >= 0 && AIndex < Count(); }
  // The task with ASerial, or null.
  TFFmpeg* Find(int32_t ASerial) const;
  int Add(TFFmpegPtr ATask);
  TFFmpegPtr Remove(int AIndex);
  std::vector<TFFmpegPtr> TakeAll();

private:
  std::vector<TFFmpegPtr> Items;
};

} // namespace pelorix
