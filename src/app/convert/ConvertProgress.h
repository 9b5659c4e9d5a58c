// The batch command line's progress lines: one per running file and a total. Plain text; the
// caller redraws them on a terminal. Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace pelorix {

// "  45%   2.1x  00:07 left  clip.3gp" for a file that has written ADoneMs of ATotalMs
// milliseconds of output in AElapsedSeconds; "   3.2 s   2.1x            clip.3gp" when the
// total is unknown (0 or less).
std::string FileProgressLine(const std::string& AName, int64_t ADoneMs, int64_t ATotalMs,
                             double AElapsedSeconds);

// "total  40%  2 of 5 files ended  00:12 left" from the sums over every file.
std::string TotalProgressLine(int AEnded, int ACount, int64_t ADoneMs, int64_t ATotalMs,
                              double AElapsedSeconds);

} // namespace pelorix
