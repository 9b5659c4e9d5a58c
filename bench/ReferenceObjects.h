// Owners and checks shared by the reference programs of the benchmarks. They link the media
// libraries directly (they are not the product), so these call the libraries by name.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

#include <memory>
#include <stdexcept>
#include <string>

namespace pelorix::reference {

class TReferenceError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct TInputDeleter {
  void operator()(AVFormatContext* AContext) const { avformat_close_input(&AContext); }
};
struct TOutputDeleter {
  void operator()(AVFormatContext* AContext) const {
    if (!(AContext->oformat->flags & AVFMT_NOFILE)) avio_closep(&AContext->pb);
    avformat_free_context(AContext);
  }
};
struct TCodecDeleter {
  void operator()(AVCodecContext* AContext) const { avcodec_free_context(&AContext); }
};
struct TPacketDeleter {
  void operator()(AVPacket* APacket) const { av_packet_free(&APacket); }
};
struct TFrameDeleter {
  void operator()(AVFrame* AFrame) const { av_frame_free(&AFrame); }
};
struct TResamplerDeleter {
  void operator()(SwrContext* AContext) const { swr_free(&AContext); }
};
struct TFifoDeleter {
  void operator()(AVAudioFifo* AFifo) const { av_audio_fifo_free(AFifo); }
};
using TInputPtr = std::unique_ptr<AVFormatContext, TInputDeleter>;
using TOutputPtr = std::unique_ptr<AVFormatContext, TOutputDeleter>;
using TCodecPtr = std::unique_ptr<AVCodecContext, TCodecDeleter>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketDeleter>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;
using TResamplerPtr = std::unique_ptr<SwrContext, TResamplerDeleter>;
using TFifoPtr = std::unique_ptr<AVAudioFifo, TFifoDeleter>;

inline int Check(int ACode, const std::string& AWhat) {
  if (ACode >= 0) return ACode;
  char Text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(ACode, Text, sizeof(Text));
  throw TReferenceError(AWhat + ": " + Text);
}

template <class T> T* Allocated(T* AObject, const char* AWhat) {
  if (!AObject) throw TReferenceError(std::string(AWhat) + ": out of memory");
  return AObject;
}

} // namespace pelorix::reference
