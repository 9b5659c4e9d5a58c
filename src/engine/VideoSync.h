// Frame-rate synchronisation of the video output path: how many times one decoded picture goes
// to the encoder so that the output keeps pace with the input clock. A picture that comes too
// early is dropped, one that comes late is sent again for every frame period missed.
//
// A plain function without state; called on the run's thread.
#pragma once

#include <cstdint>

namespace pelorix {

// AInputTime: the picture's time in seconds from the start; ATimeBase: the encoder's time base
// in seconds; AMethod: "vsync" (-1 automatic: on when ATimeBase is above 0.001, 0 off, 1 on,
// 2 on without repeating pictures). ASyncOpts: frames given to the encoder so far, in units
// of ATimeBase; moved to the input clock where the method says so, never backwards.
// Returns the number of frames to emit: 0 drops the picture.
int64_t VideoFramesFor(double AInputTime, double ATimeBase, int AMethod, int64_t& ASyncOpts);

// Whether VideoFramesFor sends a late picture again for the periods it missed.
bool RepeatsPictures(double ATimeBase, int AMethod);

} // namespace pelorix
