// TTaskView: what the converter shows of one of its tasks. A copy made on request; the task
// itself, with its engine, stays inside the converter.
//
// Threads: a plain value.
#pragma once

#include "ProbeSummary.h"
#include "TaskOutcome.h"

#include <string>

namespace pelorix {

// listed (added) -> configured (output set) -> running (claimed by a run) -> ended.
enum class TTaskState { tsListed, tsConfigured, tsRunning, tsEnded };

struct TTaskView {
  int Index = -1; // position in the task list when the view was made
  std::string SourcePath; // the file name the task was added with
  TProbeSummary Source; // what the add found in the source
  std::string OutputPath; // empty until an output has been set
  TTaskState State = TTaskState::tsListed;
  TTaskResult Result; // toNone until the task has ended
  std::string LastError; // the task's last failure: setting its output, or its run
};

} // namespace pelorix
