// The engine's limits and plain records: per input file of a transcode, stream maps and
// meta-data maps. The stream records of a transcode are in TranscodeRecords.h.
#pragma once

#include "RunSpans.h"

#include <cstdint>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

namespace pelorix {

constexpr int MaxFiles = 20;
constexpr int MaxStreams = 20;
constexpr int MaxStreamMaps = MaxFiles * MaxStreams;
constexpr int DefaultBitBufferSize = 262144;

struct TInputFile {
  int32_t EofReached = 0; // no more is read of it: its end, or a read error
  int32_t FirstStreamIndex = 0;
  int32_t StreamCount = 0;
  TReadEnd ReadEnd = TReadEnd::reNotRead; // set as reading ends
  std::string ReadError; // the reason of a read error
};

struct TStreamMap {
  int32_t FileIndex = 0;
  int32_t StreamIndex = 0;
  int32_t SyncFileIndex = 0;
  int32_t SyncStreamIndex = 0;
};

struct TMetaDataMap {
  int32_t OutFile = 0;
  int32_t InFile = 0;
};

} // namespace pelorix
