// The fixed picture and sound every generated clip carries, so that each run writes the same
// content: a moving gradient with a travelling box, and one sine tone per audio channel.
#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include <cstdint>
#include <vector>

namespace pelorix::testmedia {

// Paints picture number AIndex into a YUV420P frame. With AFieldsApart the bottom field shows
// the scene half a frame later than the top field, as an interlaced camera would record it.
void FillTestPattern(AVFrame& AFrame, int64_t AIndex, bool AFieldsApart);

// Paints the top left 16x16 luma samples of AFrame white (235) and the other three corners
// black (16), so that a turned or mirrored copy shows where each corner went.
void MarkCorners(AVFrame& AFrame);

// Adds grain to every sample of the YUV420P picture AFrame: each moves by a pseudo-random amount
// in [-AAmplitude, AAmplitude], clamped to 0..255. The grain depends only on the picture number
// AIndex, so each picture differs from the last, yet each run gives the same bytes.
void AddNoise(AVFrame& AFrame, int64_t AIndex, int AAmplitude);

// Fills every sample of AFrame (AFrame.nb_samples per channel) with sine tones at half of full
// scale, channel c at AToneHz[c]; AFirstSample is the position of the first sample in the clip.
void FillTones(AVFrame& AFrame, int64_t AFirstSample, const std::vector<double>& AToneHz);

// The sample formats FillTones can write.
bool CanFillSampleFormat(AVSampleFormat AFormat);

} // namespace pelorix::testmedia
