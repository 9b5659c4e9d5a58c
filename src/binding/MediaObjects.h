// Owners of library objects. Every object the engine or the probe gets from the media
// libraries is held by one of these, so nothing leaks on any path (errors, exceptions, stops).
// The deleters call through the entry tables; no *_free call appears outside this file.
#pragma once

#include "AVCodecHlpr.h"
#include "AVFilterHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "MyUtilHlpr.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"

#include <memory>

namespace pelorix {

struct TAvFreeDeleter {
  void operator()(void* P) const { AVUtil().av_free(P); }
};

struct TCodecContextDeleter {
  void operator()(AVCodecContext* P) const { AVCodec().avcodec_free_context(&P); }
};

// A format context allocated by the engine and not opened as an input (option parking).
struct TFormatContextDeleter {
  void operator()(AVFormatContext* P) const { AVFormat().avformat_free_context(P); }
};

// An opened input container.
struct TInputContextDeleter {
  void operator()(AVFormatContext* P) const { AVFormat().avformat_close_input(&P); }
};

// An output container: its file is closed (unless the format writes none), then the context
// and its streams are freed.
struct TOutputContextDeleter {
  void operator()(AVFormatContext* P) const {
    if (P->oformat && !(P->oformat->flags & AVFMT_NOFILE)) AVFormat().avio_closep(&P->pb);
    AVFormat().avformat_free_context(P);
  }
};

struct TScaleContextDeleter {
  void operator()(SwsContext* P) const { SwScale().sws_freeContext(P); }
};

// An I/O context opened on its own (not as part of a container), e.g. to probe a file.
struct TAvioContextDeleter {
  void operator()(AVIOContext* P) const { AVFormat().avio_closep(&P); }
};

struct TFrameDeleter {
  void operator()(AVFrame* P) const { AVUtil().av_frame_free(&P); }
};

struct TPacketDeleter {
  void operator()(AVPacket* P) const { AVCodec().av_packet_free(&P); }
};

// A parser that splits a packet of several frames into frames.
struct TParserDeleter {
  void operator()(AVCodecParserContext* P) const { AVCodec().av_parser_close(P); }
};

struct TBitstreamFilterDeleter {
  void operator()(AVBSFContext* P) const { AVCodec().av_bsf_free(&P); }
};

struct TResamplerDeleter {
  void operator()(SwrContext* P) const { SwResample().swr_free(&P); }
};

struct TAudioFifoDeleter {
  void operator()(AVAudioFifo* P) const { AVUtil().av_audio_fifo_free(P); }
};

// A filter graph with every filter context in it.
struct TFilterGraphDeleter {
  void operator()(AVFilterGraph* P) const { AVFilter().avfilter_graph_free(&P); }
};

// A list of open ends of a filter graph text (the whole list is freed).
struct TFilterInOutDeleter {
  void operator()(AVFilterInOut* P) const { AVFilter().avfilter_inout_free(&P); }
};

// A C stream opened through the support library.
struct TCFileDeleter {
  void operator()(FILE* P) const { MyUtil().my_fclose(P); }
};

// A text or block made with the libraries' allocator (av_strdup, av_mallocz).
using TAvString = std::unique_ptr<char, TAvFreeDeleter>;
using TAvMatrix = std::unique_ptr<uint16_t, TAvFreeDeleter>;

using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextDeleter>;
using TFormatContextPtr = std::unique_ptr<AVFormatContext, TFormatContextDeleter>;
using TInputContextPtr = std::unique_ptr<AVFormatContext, TInputContextDeleter>;
using TOutputContextPtr = std::unique_ptr<AVFormatContext, TOutputContextDeleter>;
using TCFilePtr = std::unique_ptr<FILE, TCFileDeleter>;
using TScaleContextPtr = std::unique_ptr<SwsContext, TScaleContextDeleter>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketDeleter>;
using TBitstreamFilterPtr = std::unique_ptr<AVBSFContext, TBitstreamFilterDeleter>;
using TParserPtr = std::unique_ptr<AVCodecParserContext, TParserDeleter>;
using TResamplerPtr = std::unique_ptr<SwrContext, TResamplerDeleter>;
using TAudioFifoPtr = std::unique_ptr<AVAudioFifo, TAudioFifoDeleter>;
using TAvioContextPtr = std::unique_ptr<AVIOContext, TAvioContextDeleter>;
using TFilterGraphPtr = std::unique_ptr<AVFilterGraph, TFilterGraphDeleter>;
using TFilterInOutPtr = std::unique_ptr<AVFilterInOut, TFilterInOutDeleter>;

// An option dictionary handed to the libraries by address (they add, consume and replace
// entries); whatever is left is freed with it.
class TAvDictionary {
public:
  TAvDictionary() = default;
  TAvDictionary(const TAvDictionary&) = delete;
  TAvDictionary& operator=(const TAvDictionary&) = delete;
  ~TAvDictionary() { AVUtil().av_dict_free(&Dictionary); }
  AVDictionary** Address() { return &Dictionary; }
  AVDictionary* Get() const { return Dictionary; }

private:
  AVDictionary* Dictionary = nullptr;
};

// A channel layout kept by the engine. A custom layout carries an allocated channel map, which
// goes with it.
class TChannelLayout {
public:
  TChannelLayout() = default;
  TChannelLayout(const TChannelLayout&) = delete;
  TChannelLayout& operator=(const TChannelLayout&) = delete;
  ~TChannelLayout() { AVUtil().av_channel_layout_uninit(&Layout); }
  // Copies ALayout; false when its channel map cannot be allocated (the layout is then empty).
  bool Assign(const AVChannelLayout& ALayout) {
    AVUtil().av_channel_layout_uninit(&Layout);
    return AVUtil().av_channel_layout_copy(&Layout, &ALayout) >= 0;
  }
  AVChannelLayout Layout{};
};

// A library copy of a text; null for a null text.
inline TAvString AvStrDup(const char* AText) {
  return TAvString(AText ? AVUtil().av_strdup(AText) : nullptr);
}

} // namespace pelorix
