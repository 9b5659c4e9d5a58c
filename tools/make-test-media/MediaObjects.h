// Owning handles for the media library objects the tool creates, and the error it raises.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
}

#include <memory>
#include <stdexcept>
#include <string>

namespace pelorix::testmedia {

class TMediaError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct TCodecContextDeleter {
  void operator()(AVCodecContext* AContext) const { avcodec_free_context(&AContext); }
};
struct TFrameDeleter {
  void operator()(AVFrame* AFrame) const { av_frame_free(&AFrame); }
};
struct TDictionaryDeleter {
  void operator()(AVDictionary* ADictionary) const { av_dict_free(&ADictionary); }
};
struct TPacketDeleter {
  void operator()(AVPacket* APacket) const { av_packet_free(&APacket); }
};
// An output context together with the file it writes to.
struct TOutputContextDeleter {
  void operator()(AVFormatContext* AContext) const {
    if (!(AContext->oformat->flags & AVFMT_NOFILE)) avio_closep(&AContext->pb);
    avformat_free_context(AContext);
  }
};

using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextDeleter>;
using TDictionaryPtr = std::unique_ptr<AVDictionary, TDictionaryDeleter>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketDeleter>;
using TOutputContextPtr = std::unique_ptr<AVFormatContext, TOutputContextDeleter>;

// Sets AKey to AValue in ADictionary, creating the dictionary when it is empty; returns the
// library's result code.
int SetEntry(TDictionaryPtr& ADictionary, const char* AKey, const char* AValue);

// The library's own text for a negative return code.
std::string ErrorText(int ACode);

// Raises TMediaError "<AWhat>: <library text>" when ACode is negative; returns ACode otherwise.
int Check(int ACode, const std::string& AWhat);

// Raises TMediaError "<AWhat>: out of memory" when APointer is null; returns it otherwise.
template <class T> T* CheckAllocated(T* APointer, const std::string& AWhat) {
  if (!APointer) throw TMediaError(AWhat + ": out of memory");
  return APointer;
}

} // namespace pelorix::testmedia
