// The engine's limits and plain records: per input file, per input and output stream of a
// transcode, stream maps and meta-data maps. The transcode owns its stream tables; these
// records only point at the library objects the engine's containers own.
#pragma once

#include <cstdint>

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
  int32_t EofReached = 0;
  int32_t FirstStreamIndex = 0;
  int32_t BufferSize = 0;  // not used
  int32_t StreamCount = 0;
};

struct TInputStream {
  int32_t FileIndex = 0;
  int32_t StreamIndex = 0;
  AVStream* Stream = nullptr;
  int32_t Discard = 1;         // 1 until an output stream takes this input
  int32_t DecodingNeeded = 0;
  int64_t RateEmuStart = 0;    // microseconds
  int32_t RateEmuFrames = 0;
  int64_t NextPts = AV_NOPTS_VALUE;  // microseconds
  int64_t Pts = 0;                   // microseconds
  int32_t IsStart = 1;
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
