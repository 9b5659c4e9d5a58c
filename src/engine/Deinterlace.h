// Deinterlacing of one picture on its own: a spatial filter that needs no neighbouring
// pictures, so one picture in gives one picture out, with no delay and nothing to flush.
//
// The top field (rows 0, 2, 4, ...) is kept as it is. Every row of the bottom field is replaced
// by a vertical low-pass over its column, taps -1 4 2 4 -1 (divided by 8) on the rows two
// above to two below it, with rows past the picture's edges taken as the nearest edge row.
// The motion between the two fields then no longer shows as combs.
//
// Works on planar YUV formats (including semi-planar chroma and an alpha plane) and gray
// formats, with 8-bit samples or native-endian samples of 9 to 16 bits. Called on the run's
// thread; keeps no state.
#pragma once

#include "AVUtilHlpr.h"

#include <cstdint>

namespace pelorix {

// True when DeinterlacePicture can work on pictures of AFormat.
bool CanDeinterlace(AVPixelFormat AFormat);

// Writes the deinterlaced picture ASource into ATarget (two distinct pictures of AFormat,
// AWidth x AHeight). False, with ATarget untouched, when the format is not supported or the
// size is not positive.
bool DeinterlacePicture(uint8_t* const ATarget[4], const int ATargetLineSizes[4],
                        const uint8_t* const ASource[4], const int ASourceLineSizes[4],
                        AVPixelFormat AFormat, int AWidth, int AHeight);

} // namespace pelorix
