// The batch command line's progress lines: one per running file and a total. Plain text; the
// caller redraws them on a terminal. Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace pelorix {

// How long a file must have run since its first report before its speed is shown: the first
// report comes after a start-up of unknown length, and a fraction of a second tells nothing.
constexpr double MinMeasureSeconds = 1.0;

// "  45%   2.1x  00:07 left  clip.3gp" for a file that has written ADoneMs of ATotalMs
// milliseconds of output, AElapsedSeconds after its first report (which came at AFirstDoneMs);
// "   3.2 s   2.1x            clip.3gp" when the total is unknown (0 or less). Before
// MinMeasureSeconds the speed is blank and the time left unknown.
std::string FileProgressLine(const std::string& AName, int64_t ADoneMs, int64_t ATotalMs,
                             double AElapsedSeconds, int64_t AFirstDoneMs = 0);

// "total  40%  2 of 5 files ended  00:12 left" from the sums over every file.
std::string TotalProgressLine(int AEnded, int ACount, int64_t ADoneMs, int64_t ATotalMs,
                              double AElapsedSeconds);

} // namespace pelorix
