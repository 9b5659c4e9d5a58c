// Picture views for the video output path: a part of a picture addressed through its own plane
// pointers (cropping, or the middle of a padded picture), and padding, which fills the bands
// around the middle of a picture with a colour and copies a picture into the middle.
//
// A view owns nothing: it points into the planes of a picture that must outlive it. Plain
// functions, no state; called on the run's thread.
#pragma once

#include "AVUtilHlpr.h"

#include <array>
#include <cstdint>

namespace pelorix {

// Four planes and their line sizes, as a frame keeps them.
struct TPictureView {
  std::array<uint8_t*, 4> Data{};
  std::array<int, 4> LineSize{};
};

TPictureView ViewOf(const AVFrame& APicture);

// AView: ASource without its top ATop rows and its left ALeft columns; the chroma planes move
// by the bands shifted by the format's subsampling. Right and bottom need no view: the caller
// reads fewer columns and rows. False, AView untouched, for formats whose pixels cannot be
// reached by byte offsets (bit-packed, hardware pictures), for a left band that splits the
// pixel pairs of a packed subsampled format or the pattern of a Bayer format, and for negative
// bands.
bool ShiftPicture(const TPictureView& ASource, AVPixelFormat AFormat, int ATop, int ALeft,
                  TPictureView& AView);

// True when PadPicture can paint pictures of AFormat: planar YUV and gray formats with one
// component per plane and 8 to 16 bits per sample (native byte order), alpha plane included.
bool CanPadPicture(AVPixelFormat AFormat);

// ATarget is a picture of AWidth x AHeight. Fills the bands ATop, ABottom, ALeft, ARight with
// AColor (Y, U, V at 8 bits; an alpha plane becomes opaque) and, with ASource (a picture of
// the middle's size), copies ASource into the middle. Without ASource the middle is left as
// it is. False, nothing written, when the format is not supported or the bands leave no
// middle.
bool PadPicture(const TPictureView& ATarget, const TPictureView* ASource, int AHeight, int AWidth,
                AVPixelFormat AFormat, int ATop, int ABottom, int ALeft, int ARight,
                const std::array<int32_t, 3>& AColor);

} // namespace pelorix
