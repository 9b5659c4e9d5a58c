// Reads back what a conversion wrote: the streams of a media file, their codecs, durations and
// packets, through the engine's own library binding.
#pragma once

#include "MediaObjects.h"

#include <string>
#include <vector>

namespace pelorix::test {

struct TStreamFacts {
  AVMediaType Kind = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID Codec = AV_CODEC_ID_NONE;
  double Duration = 0; // seconds, from the packets read
  int Packets = 0;
  int KeyPackets = 0;
  bool FirstPacketKey = false;
  int Width = 0, Height = 0, SampleRate = 0, Channels = 0;
};

struct TMediaFacts {
  bool Opened = false;
  double FileDuration = 0; // seconds, as the container says
  std::vector<TStreamFacts> Streams;
  double Duration() const {
    double Longest = 0;
    for (const TStreamFacts& Stream : Streams) Longest = std::max(Longest, Stream.Duration);
    return Longest;
  }
};

// Opens AFileName, reads every packet and sums up each stream. Opened is false when the file
// does not open as media.
inline TMediaFacts ReadMediaFacts(const std::string& AFileName) {
  TMediaFacts Facts;
  AVFormatContext* Raw = nullptr;
  if (AVFormat().avformat_open_input(&Raw, AFileName.c_str(), nullptr, nullptr) < 0) return Facts;
  TInputContextPtr Input(Raw);
  if (AVFormat().avformat_find_stream_info(Raw, nullptr) < 0) return Facts;
  Facts.Opened = true;
  if (Raw->duration != AV_NOPTS_VALUE) Facts.FileDuration = Raw->duration / 1e6;
  std::vector<int64_t> First(Raw->nb_streams, AV_NOPTS_VALUE), End(Raw->nb_streams, AV_NOPTS_VALUE);
  for (unsigned I = 0; I < Raw->nb_streams; ++I) {
    const AVCodecParameters* P = Raw->streams[I]->codecpar;
    TStreamFacts Stream;
    Stream.Kind = P->codec_type;
    Stream.Codec = P->codec_id;
    Stream.Width = P->width;
    Stream.Height = P->height;
    Stream.SampleRate = P->sample_rate;
    Stream.Channels = P->ch_layout.nb_channels;
    Facts.Streams.push_back(Stream);
  }
  TPacketPtr Packet(AVCodec().av_packet_alloc());
  while (AVFormat().av_read_frame(Raw, Packet.get()) >= 0) {
    const int I = Packet->stream_index;
    TStreamFacts& Stream = Facts.Streams[I];
    if (Stream.Packets++ == 0) Stream.FirstPacketKey = Packet->flags & AV_PKT_FLAG_KEY;
    if (Packet->flags & AV_PKT_FLAG_KEY) ++Stream.KeyPackets;
    const int64_t Start = Packet->pts != AV_NOPTS_VALUE ? Packet->pts : Packet->dts;
    if (Start != AV_NOPTS_VALUE) {
      if (First[I] == AV_NOPTS_VALUE || Start < First[I]) First[I] = Start;
      if (End[I] == AV_NOPTS_VALUE || Start + Packet->duration > End[I])
        End[I] = Start + Packet->duration;
    }
    AVCodec().av_packet_unref(Packet.get());
  }
  for (unsigned I = 0; I < Raw->nb_streams; ++I)
    if (First[I] != AV_NOPTS_VALUE)
      Facts.Streams[I].Duration = (End[I] - First[I]) * av_q2d(Raw->streams[I]->time_base);
  return Facts;
}

} // namespace pelorix::test
