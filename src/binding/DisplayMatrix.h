// How a picture stream is turned for display: the display matrix a container gives a stream
// (a phone filming upright stores its pictures on their side and says so), read as one of the
// eight quarter turns and mirror images, shared by the engine and the probe.
//
// Threads: any; nothing is kept.
#pragma once

#include "AVFormatHlpr.h"

#include <cstdint>

namespace pelorix {

// The stored picture is mirrored left to right first when Mirrored, then turned clockwise by
// Rotation degrees (0, 90, 180 or 270) to show as it was filmed.
struct TPictureTurn {
  int32_t Rotation = 0;
  bool Mirrored = false;

  bool IsNone() const { return Rotation == 0 && !Mirrored; }
  // A quarter turn: the displayed picture is as wide as the stored one is high.
  bool SwapsSides() const { return Rotation == 90 || Rotation == 270; }
  bool operator==(const TPictureTurn&) const = default;
};

// The turn of a display matrix (nine 16.16 and 2.30 fixed-point numbers in the utility
// library's layout). Rotations between quarter turns go to the nearest one; a matrix that
// maps the picture onto a line turns nothing.
TPictureTurn TurnOfMatrix(const int32_t AMatrix[9]);

// The turn AStream's display matrix asks for; none without one.
TPictureTurn TurnOfStream(const AVStream* AStream);

} // namespace pelorix
