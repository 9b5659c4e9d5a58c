// Whether a source's streams already are what an output format entry would write, so that the
// output takes them unchanged instead of encoding them again. Video and audio are decided
// apart; the muxers convert what the containers store differently (H.264 start codes to
// length prefixes and back, ADTS AAC headers) as they write.
//
// Threads: any thread, once the media libraries are loaded (the container's acceptance is asked
// of the format library); before that nothing is copied.
#pragma once

#include "OutputFormats.h"

namespace pelorix {

struct TStreamCopy {
  bool Video = false, Audio = false;
  bool operator==(const TStreamCopy&) const = default;
};

// Nothing is copied unless AChoice asks for it, nor at the smaller-file level (the point is to
// write fewer bytes), nor for an entry with a disc target or a fixed video rate (its devices
// expect that rate). A video stream is copied when its codec is the entry's encoder's, its
// profile one the entry copies, its pixel format 8-bit 4:2:0, its size one the entry would
// write unchanged (even, within the largest width), its pictures neither field-coded nor turned
// (the entry would change them) and the container takes the codec. An audio stream when its
// codec is the entry's encoder's, its channel count and sample rate ones the entry keeps and
// the container takes the codec.
TStreamCopy StreamsToCopy(const TOutputFormat& AFormat, const TSourceFacts& AFacts,
                          const TEncodingChoice& AChoice);

// Whether the entry copies, at ALevel, the streams of any source that fit it: never at the
// smaller-file level nor for a disc target. An entry with a fixed video rate may still copy the
// audio. A front end tells by it whether the user's copy choice matters for the entry.
bool MayCopyFitting(const TOutputFormat& AFormat, TQualityLevel ALevel);

// Whether the entry's container stores streams of the codec ACodecName ("h264") as they are.
bool ContainerTakes(const TOutputFormat& AFormat, const std::string& ACodecName);

} // namespace pelorix
