// Drop and repeat decisions of the video output path.
#include "VideoSync.h"

#include <algorithm>
#include <cmath>

namespace pelorix {

namespace {

// A time stamp that jumps by days would ask for more repeats than an int64 holds.
constexpr double MaxFrames = 2147483647.0;

// Nearest integer, halves to even (the rounding mode in force).
int64_t Nearest(double AValue) { return std::llrint(std::clamp(AValue, -MaxFrames, MaxFrames)); }

bool Synchronised(double ATimeBase, int AMethod) {
  return AMethod > 0 || (AMethod < 0 && ATimeBase > 0.001);
}

} // namespace

bool RepeatsPictures(double ATimeBase, int AMethod) {
  return ATimeBase > 0 && Synchronised(ATimeBase, AMethod) && AMethod != 2;
}

int64_t VideoFramesFor(double AInputTime, double ATimeBase, int AMethod, int64_t& ASyncOpts) {
  if (!(ATimeBase > 0)) return 1;
  const double Position = AInputTime / ATimeBase;
  // Following the input clock, the frame counter only moves forward: a picture whose slot is
  // already taken goes into the next free one. Going back would give the encoder and muxer a
  // time stamp they have had already, which they refuse.
  if (!Synchronised(ATimeBase, AMethod)) {
    ASyncOpts = std::max(ASyncOpts, Nearest(Position));
    return 1;
  }
  const double Delta = Position - static_cast<double>(ASyncOpts);
  if (Delta < -1.1) return 0;
  if (AMethod == 2) {
    ASyncOpts = std::max(ASyncOpts, Nearest(Position));
    return 1;
  }
  if (Delta > 1.1) return Nearest(Delta);
  return 1;
}

} // namespace pelorix
