// Texts of a failed Open of the media probe: the same failure texts the engine gives when it
// cannot open an input, with the installed libraries' error codes sorted into them.
//
// Owner: TAVProbe. Threads: any; touches only the file named.
#pragma once

#include "AVFormatHlpr.h"

#include <string>

namespace pelorix {

// "<file>: <reason>" for the result AResult of opening AFileName. AForcedFormat is the input
// format the open was told to use, or null when the library was left to detect it.
std::string ProbeOpenErrorText(const std::string& AFileName, int AResult,
                               const AVInputFormat* AForcedFormat);

} // namespace pelorix
