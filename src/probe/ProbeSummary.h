// TProbeSummary: what a probe found in a source, kept as a plain value so that it outlives the
// open file. The converter reads one when a task is added and hands it out with the task's
// view; the window's source tip and the output formats' option building read it from there.
//
// Threads: a plain value; SummaryOf runs on the thread that uses the probe.
#pragma once

#include "AVProbe.h"

#include <cstdint>
#include <string>

namespace pelorix {

struct TProbeSummary {
  std::string FileName; // the file name recorded in the container
  std::string Container; // the demuxer that reads it (TAVProbe::ContainerName)
  int32_t StreamCount = -1;
  int32_t AudioStreamCount = -1;
  int32_t VideoStreamCount = -1;
  int32_t SubtitleStreamCount = -1;
  TAudioStreamInfo Audio; // the first audio stream; cleared when there is none
  // The first video stream of pictures to play, else the first (a cover picture); cleared
  // when there is none.
  TVideoStreamInfo Video;

  bool operator==(const TProbeSummary&) const = default;
};

// The summary of the container AProbe has open or attached; counts of -1 and cleared stream
// records when it has none.
TProbeSummary SummaryOf(const TAVProbe& AProbe);

} // namespace pelorix
