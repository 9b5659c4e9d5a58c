// The batch command line's machine-readable results (--json): one JSON object per line, one
// per file as it ends and a summary at the end. Texts are UTF-8; bytes of a name that are not
// valid UTF-8 come out as U+FFFD. Any thread.
#pragma once

#include "TaskOutcome.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pelorix {

// How a file ended, as its record names it: "converted", "failed", "stopped", "not started",
// "skipped", "incomplete".
std::string OutcomeName(TTaskOutcome AOutcome);

struct TFileRecord {
  std::string Source;
  std::string Output; // empty: none (null)
  TTaskResult Result;
  double Seconds = 0; // from its start to its end
  int64_t InputBytes = -1, OutputBytes = -1; // -1: unknown or no file (null)
  // The output's streams by kind ("video", "audio", "subtitle"), in the output's order.
  std::vector<std::string> Copied, Encoded;
};

// {"type":"file","source":...,"output":...,"outcome":...,"reason":...,"seconds":...,
//  "input_bytes":...,"output_bytes":...,"streams":{"copied":[...],"encoded":[...]}}
std::string FileJsonLine(const TFileRecord& ARecord);

struct TBatchTotals {
  int Files = 0;
  int Converted = 0, Failed = 0, Stopped = 0, NotStarted = 0, Skipped = 0, Incomplete = 0;
  double Seconds = 0;
  // Over the files converted, stopped or incomplete in this run.
  int64_t InputBytes = 0, OutputBytes = 0;
  int ExitStatus = 0;
};

// {"type":"summary","files":...,"converted":...,"failed":...,"stopped":...,"not_started":...,
//  "skipped":...,"incomplete":...,"seconds":...,"input_bytes":...,"output_bytes":...,
//  "exit_status":...}
std::string SummaryJsonLine(const TBatchTotals& ATotals);

} // namespace pelorix
