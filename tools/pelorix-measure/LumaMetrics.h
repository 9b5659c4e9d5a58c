// How close one luma plane is to another: the peak signal-to-noise ratio and the structural
// similarity (8x8 windows every 4 samples, the usual constants for 8-bit samples).
//
// Threads: plain functions.
#pragma once

#include "LumaReader.h"

namespace pelorix::measure {

// The PSNR cannot grow without bound: two identical planes give this.
constexpr double PsnrOfIdentical = 100.0;

// Both planes must have the same size.
double LumaPsnr(const TLumaPlane& AReference, const TLumaPlane& ADistorted);
// 1 for identical planes; planes smaller than 8x8 compare as a whole.
double LumaSsim(const TLumaPlane& AReference, const TLumaPlane& ADistorted);

} // namespace pelorix::measure
