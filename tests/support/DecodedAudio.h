// Decodes the audio of a media file for checks on the samples themselves: the first audio
// stream, every channel as its own row of samples, through the engine's own library binding.
#pragma once

#include "MediaObjects.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace pelorix::test {

struct TDecodedAudio {
  bool Opened = false;
  AVCodecID Codec = AV_CODEC_ID_NONE;
  AVSampleFormat Format = AV_SAMPLE_FMT_NONE; // as the decoder gives it
  int SampleRate = 0;
  int Channels = 0;
  double StartTime = 0; // seconds: the first packet's time stamp
  // [channel][sample], full scale -1..1; integer samples are exact (16-bit v is v / 32768).
  std::vector<std::vector<double>> Samples;
  std::vector<int> BlockSizes; // samples per channel of each decoded block, in order
  size_t Length() const { return Samples.empty() ? 0 : Samples[0].size(); }
};

namespace detail {

inline double SampleAt(const AVFrame& AFrame, int AChannel, int AIndex) {
  const auto Format = static_cast<AVSampleFormat>(AFrame.format);
  const bool Planar = AVUtil().av_sample_fmt_is_planar(Format) != 0;
  const int Channels = AFrame.ch_layout.nb_channels;
  const uint8_t* Plane = AFrame.extended_data[Planar ? AChannel : 0];
  const int At = Planar ? AIndex : AIndex * Channels + AChannel;
  switch (Format) {
  case AV_SAMPLE_FMT_U8:
  case AV_SAMPLE_FMT_U8P:
    return (Plane[At] - 128) / 128.0;
  case AV_SAMPLE_FMT_S16:
  case AV_SAMPLE_FMT_S16P:
    return reinterpret_cast<const int16_t*>(Plane)[At] / 32768.0;
  case AV_SAMPLE_FMT_S32:
  case AV_SAMPLE_FMT_S32P:
    return reinterpret_cast<const int32_t*>(Plane)[At] / 2147483648.0;
  case AV_SAMPLE_FMT_S64:
  case AV_SAMPLE_FMT_S64P:
    return static_cast<double>(reinterpret_cast<const int64_t*>(Plane)[At]) / 9223372036854775808.0;
  case AV_SAMPLE_FMT_FLT:
  case AV_SAMPLE_FMT_FLTP:
    return reinterpret_cast<const float*>(Plane)[At];
  case AV_SAMPLE_FMT_DBL:
  case AV_SAMPLE_FMT_DBLP:
    return reinterpret_cast<const double*>(Plane)[At];
  default:
    return 0;
  }
}

} // namespace detail

// Opened is false when the file does not open or has no audio stream that decodes.
inline TDecodedAudio DecodeAudio(const std::string& AFileName) {
  TDecodedAudio Audio;
  AVFormatContext* Raw = nullptr;
  if (AVFormat().avformat_open_input(&Raw, AFileName.c_str(), nullptr, nullptr) < 0) return Audio;
  TInputContextPtr Input(Raw);
  if (AVFormat().avformat_find_stream_info(Raw, nullptr) < 0) return Audio;
  int Index = -1;
  for (unsigned I = 0; I < Raw->nb_streams && Index < 0; ++I)
    if (Raw->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) Index = static_cast<int>(I);
  if (Index < 0) return Audio;
  const AVStream* Stream = Raw->streams[Index];
  const ::AVCodec* Codec = AVCodec().avcodec_find_decoder(Stream->codecpar->codec_id);
  TCodecContextPtr Decoder(AVCodec().avcodec_alloc_context3(Codec));
  if (!Codec || !Decoder ||
      AVCodec().avcodec_parameters_to_context(Decoder.get(), Stream->codecpar) < 0 ||
      AVCodec().avcodec_open2(Decoder.get(), Codec, nullptr) < 0)
    return Audio;
  Audio.Codec = Stream->codecpar->codec_id;
  TPacketPtr Packet(AVCodec().av_packet_alloc());
  TFramePtr Frame(AVUtil().av_frame_alloc());
  bool First = true;
  const auto Receive = [&] {
    while (AVCodec().avcodec_receive_frame(Decoder.get(), Frame.get()) >= 0) {
      if (Audio.Samples.empty()) {
        Audio.Format = static_cast<AVSampleFormat>(Frame->format);
        Audio.SampleRate = Frame->sample_rate;
        Audio.Channels = Frame->ch_layout.nb_channels;
        Audio.Samples.resize(static_cast<size_t>(Audio.Channels));
      }
      for (int C = 0; C < Audio.Channels && C < Frame->ch_layout.nb_channels; ++C)
        for (int I = 0; I < Frame->nb_samples; ++I)
          Audio.Samples[C].push_back(detail::SampleAt(*Frame, C, I));
      Audio.BlockSizes.push_back(Frame->nb_samples);
      AVUtil().av_frame_unref(Frame.get());
    }
  };
  while (AVFormat().av_read_frame(Raw, Packet.get()) >= 0) {
    if (Packet->stream_index == Index) {
      if (First && Packet->pts != AV_NOPTS_VALUE)
        Audio.StartTime = static_cast<double>(Packet->pts) * av_q2d(Stream->time_base);
      First = false;
      AVCodec().avcodec_send_packet(Decoder.get(), Packet.get());
      Receive();
    }
    AVCodec().av_packet_unref(Packet.get());
  }
  AVCodec().avcodec_send_packet(Decoder.get(), nullptr);
  Receive();
  Audio.Opened = !Audio.Samples.empty();
  return Audio;
}

// The frequency of the tone in ASamples, from the distance between the first and the last
// rising zero crossing of the middle 80 % (interpolated between samples). A crossing counts only
// after the signal went below a tenth of its peak, so that coding noise around zero does not
// add crossings. 0 without two crossings.
inline double ToneFrequency(const std::vector<double>& ASamples, int ASampleRate) {
  const size_t From = ASamples.size() / 10, To = ASamples.size() - From;
  double Largest = 0;
  for (size_t I = From; I < To; ++I) Largest = std::max(Largest, std::fabs(ASamples[I]));
  double FirstCrossing = -1, LastCrossing = -1;
  int Crossings = 0;
  bool Armed = false;
  for (size_t I = From + 1; I < To; ++I) {
    if (ASamples[I] < -0.1 * Largest) Armed = true;
    if (Armed && ASamples[I - 1] < 0 && ASamples[I] >= 0) {
      const double At =
          static_cast<double>(I - 1) - ASamples[I - 1] / (ASamples[I] - ASamples[I - 1]);
      if (Crossings++ == 0) FirstCrossing = At;
      LastCrossing = At;
      Armed = false;
    }
  }
  if (Crossings < 2) return 0;
  return (Crossings - 1) * ASampleRate / (LastCrossing - FirstCrossing);
}

inline double Peak(const std::vector<double>& ASamples, size_t AFrom = 0) {
  double Largest = 0;
  for (size_t I = AFrom; I < ASamples.size(); ++I)
    Largest = std::max(Largest, std::fabs(ASamples[I]));
  return Largest;
}

} // namespace pelorix::test
