// The batch command line's progress lines: percent, speed and time left, and no speed before
// a file has run long enough to measure one.
#include "ConvertProgress.h"

#include <gtest/gtest.h>

namespace pelorix {
namespace {

TEST(TConvertProgressTest, SpeedAndTimeLeftWaitUntilTheyCanBeMeasured) {
  // Right after the first report (and at the end of a file that took a blink) the figures
  // would be thousands of times playing speed.
  EXPECT_EQ(FileProgressLine("clip.3gp", 3261, 10000, 0.001),
            "   32%           --:-- left  clip.3gp");
  EXPECT_EQ(FileProgressLine("clip.3gp", 10000, 10000, 0.0357),
            "  100%           --:-- left  clip.3gp");
  EXPECT_EQ(FileProgressLine("clip.3gp", 3200, -1, 0.5), "   3.2 s                      clip.3gp");
  EXPECT_EQ(TotalProgressLine(0, 2, 3261, 20000, 0.001),
            "total  16%  0 of 2 files ended  --:-- left");
}

TEST(TConvertProgressTest, SpeedIsMeasuredFromTheFirstReport) {
  EXPECT_EQ(FileProgressLine("clip.3gp", 4000, 10000, 2.0),
            "   40%     2.0x  00:03 left  clip.3gp");
  // 2 s of output since the first report, which came at 1 s, in 2 s: playing speed.
  EXPECT_EQ(FileProgressLine("clip.3gp", 3000, 10000, 2.0, 1000),
            "   30%     1.0x  00:07 left  clip.3gp");
  EXPECT_EQ(FileProgressLine("clip.3gp", 3200, 0, 1.0, 1600),
            "   3.2 s    1.6x              clip.3gp");
  EXPECT_EQ(TotalProgressLine(1, 2, 10000, 20000, 5.0),
            "total  50%  1 of 2 files ended  00:05 left");
}

} // namespace
} // namespace pelorix
