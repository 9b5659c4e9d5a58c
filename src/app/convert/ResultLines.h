// The batch command line's result line of one file, as its report prints it once the run is
// over. Any thread.
#pragma once

#include "TaskOutcome.h"

#include <string>

namespace pelorix {

// "converted: SOURCE -> OUTPUT", "failed: SOURCE: REASON", ...; toNone (a file that never got
// its turn) reads as not started. A converted file whose streams ACopied ("video", "audio",
// "video and audio") went over unchanged says so: "converted: SOURCE -> OUTPUT (video copied)".
std::string ResultLine(const std::string& ASource, const std::string& AOutput,
                       const TTaskResult& AResult, const std::string& ACopied = "");

} // namespace pelorix
