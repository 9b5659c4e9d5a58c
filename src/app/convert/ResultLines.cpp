#include "ResultLines.h"

namespace pelorix {

std::string ResultLine(const std::string& ASource, const std::string& AOutput,
                       const TTaskResult& AResult, const std::string& ACopied) {
  switch (AResult.Outcome) {
  case TTaskOutcome::toSkipped:
    return "skipped: " + ASource + " (" + AResult.Reason + ")";
  case TTaskOutcome::toFailed:
    return "failed: " + ASource + ": " + AResult.Reason;
  case TTaskOutcome::toIncomplete: // without an output when it was not kept
    return "incomplete: " + ASource + (AOutput.empty() ? "" : " -> " + AOutput) + " (" +
           AResult.Reason + ")";
  case TTaskOutcome::toConverted:
    return "converted: " + ASource + " -> " + AOutput +
           (ACopied.empty() ? "" : " (" + ACopied + " copied)");
  case TTaskOutcome::toStopped:
    return "stopped: " + ASource + " -> " + AOutput + " (cut short)";
  case TTaskOutcome::toNotStarted:
  case TTaskOutcome::toNone:
    break;
  }
  return "not started: " + ASource;
}

} // namespace pelorix
