// Pictures of the tests: decoding the pictures of a media file into plain planes, and making
// pictures with known content, through the engine's own library binding.
#pragma once

#include "MediaObjects.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pelorix::test {

// One picture in tightly packed planes.
struct TDecodedPicture {
  int Width = 0, Height = 0;
  AVPixelFormat Format = AV_PIX_FMT_NONE;
  int64_t Pts = AV_NOPTS_VALUE; // microseconds
  std::array<std::vector<uint8_t>, 4> Planes;
  std::array<int, 4> RowBytes{};

  uint8_t At(int APlane, int AX, int AY) const {
    return Planes[APlane][static_cast<size_t>(AY) * RowBytes[APlane] + AX];
  }
};

// Rows of each plane of a picture of AFormat, AWidth x AHeight.
inline int PlaneRows(AVPixelFormat AFormat, int AHeight, int APlane) {
  const AVPixFmtDescriptor* Descriptor = AVUtil().av_pix_fmt_desc_get(AFormat);
  const int Shift = APlane == 1 || APlane == 2 ? Descriptor->log2_chroma_h : 0;
  return -((-AHeight) >> Shift);
}

inline TDecodedPicture CopyPicture(const AVFrame& AFrame, int64_t APts) {
  TDecodedPicture Picture;
  Picture.Width = AFrame.width;
  Picture.Height = AFrame.height;
  Picture.Format = static_cast<AVPixelFormat>(AFrame.format);
  Picture.Pts = APts;
  for (int P = 0; P < AVUtil().av_pix_fmt_count_planes(Picture.Format); ++P) {
    const int Bytes = AVUtil().av_image_get_linesize(Picture.Format, AFrame.width, P);
    const int Rows = PlaneRows(Picture.Format, AFrame.height, P);
    Picture.RowBytes[P] = Bytes;
    for (int Y = 0; Y < Rows; ++Y) {
      const uint8_t* Row = AFrame.data[P] + static_cast<ptrdiff_t>(Y) * AFrame.linesize[P];
      Picture.Planes[P].insert(Picture.Planes[P].end(), Row, Row + Bytes);
    }
  }
  return Picture;
}

// A writable picture of AFormat whose samples are AFill(plane, x, y).
template <class TFill>
TFramePtr MakePicture(AVPixelFormat AFormat, int AWidth, int AHeight, TFill AFill) {
  TFramePtr Frame(AVUtil().av_frame_alloc());
  Frame->format = AFormat;
  Frame->width = AWidth;
  Frame->height = AHeight;
  if (AVUtil().av_frame_get_buffer(Frame.get(), 0) < 0) return nullptr;
  for (int P = 0; P < AVUtil().av_pix_fmt_count_planes(AFormat); ++P)
    for (int Y = 0; Y < PlaneRows(AFormat, AHeight, P); ++Y)
      for (int X = 0; X < AVUtil().av_image_get_linesize(AFormat, AWidth, P); ++X)
        Frame->data[P][Y * Frame->linesize[P] + X] = static_cast<uint8_t>(AFill(P, X, Y));
  return Frame;
}

// The first AMaximum pictures of the first video stream of AFileName, as decoded.
inline std::vector<TDecodedPicture> DecodePictures(const std::string& AFileName, int AMaximum) {
  std::vector<TDecodedPicture> Pictures;
  AVFormatContext* Raw = nullptr;
  if (AVFormat().avformat_open_input(&Raw, AFileName.c_str(), nullptr, nullptr) < 0)
    return Pictures;
  TInputContextPtr Input(Raw);
  if (AVFormat().avformat_find_stream_info(Raw, nullptr) < 0) return Pictures;
  int Index = -1;
  for (unsigned I = 0; I < Raw->nb_streams && Index < 0; ++I)
    if (Raw->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) Index = static_cast<int>(I);
  if (Index < 0) return Pictures;
  const AVStream* Stream = Raw->streams[Index];
  const ::AVCodec* Codec = AVCodec().avcodec_find_decoder(Stream->codecpar->codec_id);
  TCodecContextPtr Decoder(AVCodec().avcodec_alloc_context3(Codec));
  AVCodec().avcodec_parameters_to_context(Decoder.get(), Stream->codecpar);
  Decoder->pkt_timebase = Stream->time_base;
  Decoder->thread_count = 1;
  if (AVCodec().avcodec_open2(Decoder.get(), Codec, nullptr) < 0) return Pictures;

  TPacketPtr Packet(AVCodec().av_packet_alloc());
  TFramePtr Frame(AVUtil().av_frame_alloc());
  const auto Receive = [&] {
    while (static_cast<int>(Pictures.size()) < AMaximum &&
           AVCodec().avcodec_receive_frame(Decoder.get(), Frame.get()) >= 0) {
      const int64_t Pts = Frame->best_effort_timestamp == AV_NOPTS_VALUE
                              ? AV_NOPTS_VALUE
                              : AVUtil().av_rescale_q(Frame->best_effort_timestamp,
                                                      Stream->time_base, AV_TIME_BASE_Q);
      Pictures.push_back(CopyPicture(*Frame, Pts));
      AVUtil().av_frame_unref(Frame.get());
    }
  };
  while (AVFormat().av_read_frame(Raw, Packet.get()) >= 0) {
    if (Packet->stream_index == Index) AVCodec().avcodec_send_packet(Decoder.get(), Packet.get());
    AVCodec().av_packet_unref(Packet.get());
    Receive();
  }
  AVCodec().avcodec_send_packet(Decoder.get(), nullptr);
  Receive();
  return Pictures;
}

} // namespace pelorix::test
