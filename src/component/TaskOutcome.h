// How a task ended: the one value the converter makes at a task's end, raises with the end
// event and keeps in the task's view. Front ends draw everything they show of an end from it
// (the window's row, the batch command line's result line and exit status).
//
// Threads: a plain value.
#pragma once

#include <string>

namespace pelorix {

enum class TTaskOutcome {
  toNone, // no end yet; also what the run's final event carries, which ends no task
  toConverted, // the source was converted to its end
  toFailed, // the run, or the opening of its files when it started, failed: Reason says why
  toStopped, // stopped while it ran: a complete output that holds less than the source
  toNotStarted, // stopped before it wrote anything: no output is left
  toSkipped, // not added, the source is no media file that can be read: Reason says why
  toIncomplete, // the run ended, but its output holds less than was read: Reason says what
};

struct TTaskResult {
  TTaskOutcome Outcome = TTaskOutcome::toNone;
  std::string Reason; // toFailed, toSkipped and toIncomplete; empty otherwise

  bool Ended() const { return Outcome != TTaskOutcome::toNone; }
  bool operator==(const TTaskResult&) const = default;
};

// toSkipped is made where a source is refused: AddTask returns -1 and no task exists, so the
// front end records the converter's LastError with this.
inline TTaskResult SkippedResult(const std::string& AReason) {
  return {TTaskOutcome::toSkipped, AReason};
}

} // namespace pelorix
