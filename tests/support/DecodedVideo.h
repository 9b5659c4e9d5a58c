// Decodes what a conversion wrote, through the engine's own library binding: the pictures of
// a file's first video stream (planar 8-bit formats, copied out row by row) and the packets of
// its first subtitle stream.
#pragma once

#include "MediaObjects.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace pelorix::test {

struct TDecodedPicture {
  int Width = 0, Height = 0;
  AVPixelFormat Format = AV_PIX_FMT_NONE;
  bool Interlaced = false, TopFieldFirst = false; // as the decoder marks the picture
  std::array<int, 3> PlaneWidth{}, PlaneHeight{};
  std::array<std::vector<uint8_t>, 3> Planes; // rows without padding

  uint8_t At(int APlane, int AX, int AY) const {
    return Planes[APlane][static_cast<size_t>(AY) * PlaneWidth[APlane] + AX];
  }
  // Mean of plane APlane over the rectangle [ALeft, ARight) x [ATop, ABottom).
  double Mean(int APlane, int ALeft, int ATop, int ARight, int ABottom) const {
    double Sum = 0;
    for (int Y = ATop; Y < ABottom; ++Y)
      for (int X = ALeft; X < ARight; ++X) Sum += At(APlane, X, Y);
    return Sum / (static_cast<double>(ARight - ALeft) * (ABottom - ATop));
  }
};

struct TDecodedVideo {
  bool Opened = false;
  std::vector<TDecodedPicture> Pictures;
};

// Mean absolute difference of the luma of two pictures of the same size.
inline double LumaDifference(const TDecodedPicture& A, const TDecodedPicture& B) {
  double Sum = 0;
  for (int Y = 0; Y < A.Height; ++Y)
    for (int X = 0; X < A.Width; ++X) Sum += std::abs(A.At(0, X, Y) - B.At(0, X, Y));
  return Sum / (static_cast<double>(A.Width) * A.Height);
}

namespace detail {

inline void KeepPicture(const AVFrame& AFrame, TDecodedVideo& AVideo) {
  const AVPixFmtDescriptor* Descriptor =
      AVUtil().av_pix_fmt_desc_get(static_cast<AVPixelFormat>(AFrame.format));
  TDecodedPicture Picture;
  Picture.Width = AFrame.width;
  Picture.Height = AFrame.height;
  Picture.Format = static_cast<AVPixelFormat>(AFrame.format);
  Picture.Interlaced = AFrame.interlaced_frame != 0;
  Picture.TopFieldFirst = AFrame.top_field_first != 0;
  const int Planes = Descriptor && (Descriptor->flags & AV_PIX_FMT_FLAG_PLANAR)
                         ? std::min<int>(Descriptor->nb_components, 3)
                         : 0;
  for (int P = 0; P < Planes; ++P) {
    const int ShiftW = P ? Descriptor->log2_chroma_w : 0;
    const int ShiftH = P ? Descriptor->log2_chroma_h : 0;
    Picture.PlaneWidth[P] = -((-AFrame.width) >> ShiftW);
    Picture.PlaneHeight[P] = -((-AFrame.height) >> ShiftH);
    for (int Y = 0; Y < Picture.PlaneHeight[P]; ++Y) {
      const uint8_t* Row = AFrame.data[P] + static_cast<ptrdiff_t>(Y) * AFrame.linesize[P];
      Picture.Planes[P].insert(Picture.Planes[P].end(), Row, Row + Picture.PlaneWidth[P]);
    }
  }
  AVideo.Pictures.push_back(std::move(Picture));
}

} // namespace detail

// Decodes up to AMaxPictures pictures of the first video stream of AFileName. Opened is false
// when the file, its video stream or its decoder cannot be opened.
inline TDecodedVideo DecodeVideo(const std::string& AFileName, int AMaxPictures = INT_MAX) {
  TDecodedVideo Video;
  AVFormatContext* Raw = nullptr;
  if (AVFormat().avformat_open_input(&Raw, AFileName.c_str(), nullptr, nullptr) < 0) return Video;
  TInputContextPtr Input(Raw);
  if (AVFormat().avformat_find_stream_info(Raw, nullptr) < 0) return Video;
  int Stream = -1;
  for (unsigned I = 0; I < Raw->nb_streams && Stream < 0; ++I)
    if (Raw->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) Stream = static_cast<int>(I);
  if (Stream < 0) return Video;
  const AVCodecParameters* Parameters = Raw->streams[Stream]->codecpar;
  const ::AVCodec* Codec = AVCodec().avcodec_find_decoder(Parameters->codec_id);
  TCodecContextPtr Decoder(AVCodec().avcodec_alloc_context3(Codec));
  if (!Codec || !Decoder || AVCodec().avcodec_parameters_to_context(Decoder.get(), Parameters) < 0)
    return Video;
  Decoder->thread_count = 1;
  if (AVCodec().avcodec_open2(Decoder.get(), Codec, nullptr) < 0) return Video;
  Video.Opened = true;

  TPacketPtr Packet(AVCodec().av_packet_alloc());
  TFramePtr Frame(AVUtil().av_frame_alloc());
  const auto Receive = [&] {
    while (static_cast<int>(Video.Pictures.size()) < AMaxPictures &&
           AVCodec().avcodec_receive_frame(Decoder.get(), Frame.get()) >= 0) {
      detail::KeepPicture(*Frame, Video);
      AVUtil().av_frame_unref(Frame.get());
    }
  };
  while (static_cast<int>(Video.Pictures.size()) < AMaxPictures &&
         AVFormat().av_read_frame(Raw, Packet.get()) >= 0) {
    if (Packet->stream_index == Stream) AVCodec().avcodec_send_packet(Decoder.get(), Packet.get());
    AVCodec().av_packet_unref(Packet.get());
    Receive();
  }
  AVCodec().avcodec_send_packet(Decoder.get(), nullptr);
  Receive();
  return Video;
}

struct TSubtitlePacket {
  double Start = 0; // seconds
  double Duration = 0; // seconds
  std::string Bytes;
};

// The packets of the first subtitle stream of AFileName, in file order.
inline std::vector<TSubtitlePacket> ReadSubtitlePackets(const std::string& AFileName) {
  std::vector<TSubtitlePacket> Packets;
  AVFormatContext* Raw = nullptr;
  if (AVFormat().avformat_open_input(&Raw, AFileName.c_str(), nullptr, nullptr) < 0) return Packets;
  TInputContextPtr Input(Raw);
  if (AVFormat().avformat_find_stream_info(Raw, nullptr) < 0) return Packets;
  int Stream = -1;
  for (unsigned I = 0; I < Raw->nb_streams && Stream < 0; ++I)
    if (Raw->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE)
      Stream = static_cast<int>(I);
  if (Stream < 0) return Packets;
  const double TimeBase = av_q2d(Raw->streams[Stream]->time_base);
  TPacketPtr Packet(AVCodec().av_packet_alloc());
  while (AVFormat().av_read_frame(Raw, Packet.get()) >= 0) {
    if (Packet->stream_index == Stream)
      Packets.push_back({static_cast<double>(Packet->pts) * TimeBase,
                         static_cast<double>(Packet->duration) * TimeBase,
                         std::string(reinterpret_cast<const char*>(Packet->data),
                                     static_cast<size_t>(Packet->size))});
    AVCodec().av_packet_unref(Packet.get());
  }
  return Packets;
}

} // namespace pelorix::test
