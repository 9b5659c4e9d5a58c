#include "JsonResults.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace pelorix {
namespace {

using TJson = nlohmann::ordered_json;

TJson Bytes(int64_t ABytes) { return ABytes < 0 ? TJson() : TJson(ABytes); }

// Milliseconds are as fine as a batch's times go.
double Rounded(double ASeconds) { return std::round(ASeconds * 1000) / 1000; }

std::string Line(const TJson& AObject) {
  return AObject.dump(-1, ' ', false, TJson::error_handler_t::replace);
}

} // namespace

std::string OutcomeName(TTaskOutcome AOutcome) {
  switch (AOutcome) {
  case TTaskOutcome::toConverted:
    return "converted";
  case TTaskOutcome::toFailed:
    return "failed";
  case TTaskOutcome::toStopped:
    return "stopped";
  case TTaskOutcome::toSkipped:
    return "skipped";
  case TTaskOutcome::toIncomplete:
    return "incomplete";
  case TTaskOutcome::toNotStarted:
  case TTaskOutcome::toNone:
    break;
  }
  return "not started";
}

std::string FileJsonLine(const TFileRecord& ARecord) {
  TJson Object;
  Object["type"] = "file";
  Object["source"] = ARecord.Source;
  Object["output"] = ARecord.Output.empty() ? TJson() : TJson(ARecord.Output);
  Object["outcome"] = OutcomeName(ARecord.Result.Outcome);
  Object["reason"] = ARecord.Result.Reason;
  Object["seconds"] = Rounded(ARecord.Seconds);
  Object["input_bytes"] = Bytes(ARecord.InputBytes);
  Object["output_bytes"] = Bytes(ARecord.OutputBytes);
  Object["streams"] = {{"copied", ARecord.Copied}, {"encoded", ARecord.Encoded}};
  return Line(Object);
}

std::string SummaryJsonLine(const TBatchTotals& ATotals) {
  TJson Object;
  Object["type"] = "summary";
  Object["files"] = ATotals.Files;
  Object["converted"] = ATotals.Converted;
  Object["failed"] = ATotals.Failed;
  Object["stopped"] = ATotals.Stopped;
  Object["not_started"] = ATotals.NotStarted;
  Object["skipped"] = ATotals.Skipped;
  Object["incomplete"] = ATotals.Incomplete;
  Object["seconds"] = Rounded(ATotals.Seconds);
  Object["input_bytes"] = ATotals.InputBytes;
  Object["output_bytes"] = ATotals.OutputBytes;
  Object["exit_status"] = ATotals.ExitStatus;
  return Line(Object);
}

} // namespace pelorix
