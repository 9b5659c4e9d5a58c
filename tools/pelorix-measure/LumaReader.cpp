#include "LumaReader.h"

#include "AVCodecHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "SwScaleHlpr.h"

#include <cstring>

namespace pelorix::measure {

namespace {

// Formats whose first plane already holds the 8-bit luma samples as the encoder saw them.
bool HasPlainLuma(int AFormat) {
  switch (AFormat) {
  case AV_PIX_FMT_YUV420P:
  case AV_PIX_FMT_YUVJ420P:
  case AV_PIX_FMT_YUV422P:
  case AV_PIX_FMT_YUVJ422P:
  case AV_PIX_FMT_YUV444P:
  case AV_PIX_FMT_YUVJ444P:
  case AV_PIX_FMT_NV12:
  case AV_PIX_FMT_GRAY8:
    return true;
  default:
    return false;
  }
}

} // namespace

TLumaReader::TLumaReader(const std::string& AFileName) {
  AVFormatContext* Raw = nullptr;
  if (AVFormat().avformat_open_input(&Raw, AFileName.c_str(), nullptr, nullptr) < 0) {
    ErrorText = AFileName + ": cannot open";
    return;
  }
  Input.reset(Raw);
  if (AVFormat().avformat_find_stream_info(Raw, nullptr) < 0) {
    ErrorText = AFileName + ": cannot read the streams";
    return;
  }
  for (unsigned I = 0; I < Raw->nb_streams && StreamIndex < 0; ++I) {
    const AVStream* Stream = Raw->streams[I];
    if (Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(Stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
      StreamIndex = static_cast<int>(I);
  }
  if (StreamIndex < 0) {
    ErrorText = AFileName + ": no video stream";
    return;
  }
  const AVStream* Stream = Raw->streams[StreamIndex];
  const ::AVCodec* Codec = AVCodec().avcodec_find_decoder(Stream->codecpar->codec_id);
  TCodecContextPtr Context(Codec ? AVCodec().avcodec_alloc_context3(Codec) : nullptr);
  if (!Context || AVCodec().avcodec_parameters_to_context(Context.get(), Stream->codecpar) < 0) {
    ErrorText = AFileName + ": no decoder for the video stream";
    return;
  }
  Context->pkt_timebase = Stream->time_base;
  Context->thread_count = 0; // the pictures come out in order whatever the thread count
  if (AVCodec().avcodec_open2(Context.get(), Codec, nullptr) < 0) {
    ErrorText = AFileName + ": the decoder does not open";
    return;
  }
  Packet.reset(AVCodec().av_packet_alloc());
  Picture.reset(AVUtil().av_frame_alloc());
  Scaled.reset(AVUtil().av_frame_alloc());
  Decoder = std::move(Context);
}

int TLumaReader::Width() const { return Decoder ? Decoder->width : 0; }
int TLumaReader::Height() const { return Decoder ? Decoder->height : 0; }

bool TLumaReader::ReceivePicture() {
  for (;;) {
    const int Result = AVCodec().avcodec_receive_frame(Decoder.get(), Picture.get());
    if (Result >= 0) return true;
    if (Result != AVERROR(EAGAIN) || Draining) return false;
    // The decoder wants more: the next packet of the stream, or the end.
    int Read = 0;
    while ((Read = AVFormat().av_read_frame(Input.get(), Packet.get())) >= 0 &&
           Packet->stream_index != StreamIndex)
      AVCodec().av_packet_unref(Packet.get());
    if (Read < 0) {
      Draining = true;
      AVCodec().avcodec_send_packet(Decoder.get(), nullptr);
      continue;
    }
    // A damaged packet is skipped, as a player would.
    AVCodec().avcodec_send_packet(Decoder.get(), Packet.get());
    AVCodec().av_packet_unref(Packet.get());
  }
}

bool TLumaReader::Next(int AWidth, int AHeight, TLumaPlane& APlane) {
  if (!Decoder || !ReceivePicture()) return false;
  TakeLuma(AWidth, AHeight, APlane);
  AVUtil().av_frame_unref(Picture.get());
  return true;
}

void TLumaReader::TakeLuma(int AWidth, int AHeight, TLumaPlane& APlane) {
  const AVFrame* Source = Picture.get();
  if (!HasPlainLuma(Source->format) || Source->width != AWidth || Source->height != AHeight) {
    Scaler.reset(SwScale().sws_getCachedContext(
        Scaler.release(), Source->width, Source->height, static_cast<AVPixelFormat>(Source->format),
        AWidth, AHeight, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (Scaled->width != AWidth || Scaled->height != AHeight) {
      AVUtil().av_frame_unref(Scaled.get());
      Scaled->format = AV_PIX_FMT_YUV420P;
      Scaled->width = AWidth;
      Scaled->height = AHeight;
      AVUtil().av_frame_get_buffer(Scaled.get(), 0);
    }
    SwScale().sws_scale(Scaler.get(), Source->data, Source->linesize, 0, Source->height,
                        Scaled->data, Scaled->linesize);
    Source = Scaled.get();
  }
  APlane.Width = AWidth;
  APlane.Height = AHeight;
  APlane.Samples.resize(static_cast<size_t>(AWidth) * AHeight);
  for (int Y = 0; Y < AHeight; ++Y)
    std::memcpy(APlane.Samples.data() + static_cast<size_t>(Y) * AWidth,
                Source->data[0] + static_cast<ptrdiff_t>(Y) * Source->linesize[0], AWidth);
}

} // namespace pelorix::measure
