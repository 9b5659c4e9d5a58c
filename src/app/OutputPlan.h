// What a task's output looks like for the chosen format: the output option record built from
// the format entry and the source's probed properties. Pure values, any thread.
#pragma once

#include "AVProbe.h"
#include "TaskOptions.h"

#include <QString>

namespace pelorix {

// The source properties the output depends on, read from the task's probe.
struct TSourceFacts {
  QString OpenedFileName;       // as recorded by the opened input
  bool HasVideo = false;        // the probe found a video stream
  TAudioStreamInfo Audio;       // first audio stream; numbers -1 without one
  TVideoStreamInfo Video;       // first video stream; numbers -1 without one
};

TSourceFacts SourceFactsOf(const TAVProbe& AProbe);

// The output record: no video for audio formats, audio sources and sources without video;
// the XviD entry gets libxvid/libmp3lame; the audio stream's channels, rate and bit rate are
// kept (MP3 limits applied for the XviD entry), the picture size (made even) and 1500000 bit/s
// for video.
TOutputOptions MakeOutputOptions(const QString& AEntryText, const TSourceFacts& ASource);

// The nearest sample rate an MP3 stream can carry (8000 .. 48000 Hz); -1 stays -1.
int32_t NearestMp3SampleRate(int32_t ARate);

} // namespace pelorix
