// Packet routing: decoding a packet into frames, handing frames to the encoding paths and
// packets to copied streams, draining decoders and encoders at the end, and writing packets
// to the stream's writer (TPacketWriter: bitstream filters, interleaving muxer).
//
// Runs on the run's thread. No allocation per packet: the tables keep the packets and frames.
#include "FFmpeg.h"

#include "TextFormat.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <thread>

namespace pelorix {

namespace {

// Time of one frame of a picture stream in microseconds. The stream's picture rate gives it
// (the average where the base rate is a tick or a field rate); the codec time base is only the
// fallback, since some codecs count fields in it (H.264: 1/50 at 25 frames per second).
int64_t FrameDuration(const TInputStream& AInput) {
  const AVRational Rate = TCustomFFmpeg::PictureRateOf(AInput.Stream);
  if (Rate.num > 0 && Rate.den > 0) return static_cast<int64_t>(AV_TIME_BASE) * Rate.den / Rate.num;
  const AVRational TimeBase = AInput.CodecTimeBase;
  if (TimeBase.num == 0 || TimeBase.den == 0) return 0;
  const int Ticks =
      AInput.Decoder && AInput.Decoder->ticks_per_frame > 1 ? AInput.Decoder->ticks_per_frame : 1;
  return static_cast<int64_t>(AV_TIME_BASE) * TimeBase.num * Ticks / TimeBase.den;
}

// Length of one packet of AInput in microseconds where the packet itself does not say.
int64_t PacketLength(const TInputStream& AInput) {
  const AVCodecParameters* Parameters = AInput.Stream->codecpar;
  if (Parameters->codec_type == AVMEDIA_TYPE_VIDEO) return FrameDuration(AInput);
  if (Parameters->codec_type == AVMEDIA_TYPE_AUDIO && Parameters->frame_size > 0 &&
      Parameters->sample_rate > 0)
    return static_cast<int64_t>(AV_TIME_BASE) * Parameters->frame_size / Parameters->sample_rate;
  return 0;
}

// The temporal reference (display position within its group of pictures) of the MPEG-1/2
// picture in APacket, -1 when it holds none; AGroupStart tells whether a group-of-pictures
// header comes before the picture.
int TemporalReference(const AVPacket& APacket, bool& AGroupStart) {
  AGroupStart = false;
  const uint8_t* Data = APacket.data;
  for (int I = 0; I + 5 < APacket.size; ++I) {
    if (Data[I] != 0 || Data[I + 1] != 0 || Data[I + 2] != 1) continue;
    if (Data[I + 3] == 0xB8) AGroupStart = true;
    if (Data[I + 3] == 0x00) return Data[I + 4] << 2 | Data[I + 5] >> 6;
  }
  return -1;
}

} // namespace

// MPEG-1/2 from program and elementary streams leaves the presentation time of most pictures
// open: a demuxer can only tell it by looking ahead. With B-pictures (one picture of
// reordering) a picture shows (temporal reference - decoding position in its group + 1)
// picture periods after it is decoded. Muxers that time by presentation (Matroska) need it.
int64_t TCustomFFmpeg::MissingMpegPts(TOutputStream& AOutput, TInputStream& AInput,
                                      const AVPacket& APacket, int64_t ADts) {
  const AVCodecParameters* Parameters = AInput.Stream->codecpar;
  bool GroupStart = false;
  const int Reference = TemporalReference(APacket, GroupStart);
  if (GroupStart) AOutput.GopPictures = 0;
  const int Position = AOutput.GopPictures;
  if (Reference >= 0) AOutput.GopPictures = (AOutput.GopPictures + 1) % 1024;
  if (ADts == AV_NOPTS_VALUE || Parameters->video_delay == 0 || Reference < 0) return ADts;
  int64_t Period = APacket.duration;
  if (Period <= 0) {
    const AVRational Rate = PictureRateOf(AInput.Stream);
    if (Rate.num <= 0 || Rate.den <= 0) return ADts;
    Period = AVUtil().av_rescale_q(1, AVRational{Rate.den, Rate.num}, AInput.Stream->time_base);
  }
  int Shift = Reference - Position + 1;
  if (Shift < -512) Shift += 1024; // the reference counter wrapped
  return ADts + std::max(Shift, 0) * Period;
}

void TCustomFFmpeg::AdvanceCopiedStream(TInputStream& AInput) {
  const AVCodecParameters* Parameters = AInput.Stream->codecpar;
  if (Parameters->codec_type == AVMEDIA_TYPE_AUDIO && Parameters->sample_rate > 0)
    AInput.NextPts +=
        static_cast<int64_t>(AV_TIME_BASE) * Parameters->frame_size / Parameters->sample_rate;
  else if (Parameters->codec_type == AVMEDIA_TYPE_VIDEO)
    AInput.NextPts += FrameDuration(AInput);
}

void TCustomFFmpeg::EmulateRate(TInputStream& AInput) {
  if (!AInput.RateEmu) return;
  const AVRational TimeBase = AInput.CodecTimeBase;
  if (TimeBase.den == 0) return;
  // Pictures are paced by their real duration (see FrameDuration), other frames by the ticks
  // of their codec time base.
  const int64_t Target =
      AInput.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO
          ? AInput.RateEmuFrames * FrameDuration(AInput)
          : AVUtil().av_rescale(static_cast<int64_t>(TimeBase.num) * AInput.RateEmuFrames,
                                AV_TIME_BASE, TimeBase.den);
  const int64_t Elapsed = AVUtil().av_gettime() - AInput.RateEmuStart;
  if (Target - Elapsed > 50000)
    std::this_thread::sleep_for(std::chrono::microseconds(Target - Elapsed));
  ++AInput.RateEmuFrames;
}

bool TCustomFFmpeg::BeforeStart(const TInputStream& AInput) const {
  return Options.StartTime != 0 && AInput.Pts < Options.StartTime;
}

void TCustomFFmpeg::RouteFrame(TInputStream& AInput, int AIndex, AVFrame* AFrame) {
  if (AInput.SourceFilters.Built())
    FilterSourcePicture(AInput, AIndex, AFrame);
  else
    RouteDecodedFrame(AInput, AIndex, AFrame);
}

void TCustomFFmpeg::RouteDecodedFrame(TInputStream& AInput, int AIndex, AVFrame* AFrame) {
  const AVMediaType Kind = AInput.Stream->codecpar->codec_type;
  if (Kind == AVMEDIA_TYPE_VIDEO) PreprocessVideoFrame(AInput, AFrame);
  if (Kind == AVMEDIA_TYPE_AUDIO) ScaleVolume(AFrame);
  EmulateRate(AInput);
  if (BeforeStart(AInput)) return;
  for (auto& Output : Tables.OutputStreams) {
    if (Output->SourceIndex != AIndex || !Output->EncodingNeeded) continue;
    switch (Output->Encoder->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      Output->Audio->Add(AFrame, Output->SyncStream->Pts, AInput.IsStart);
      break;
    case AVMEDIA_TYPE_VIDEO:
      // With "vfilters" every re-encoded video stream has a graph of its own; what it gives
      // goes on to the encoder.
      if (Output->Filters.Built())
        FilterVideoFrame(*Output, AInput, AFrame);
      else
        EncodeVideoFrame(*Output, AInput, AFrame);
      break;
    default:
      throw FFMpegException("invalid codec_type");
    }
  }
}

void TCustomFFmpeg::EncodeVideoFrame(TOutputStream& AOutput, TInputStream& AInput,
                                     AVFrame* AFrame) {
  int FrameSize = 0;
  OutputVideo(AOutput, AInput, AFrame, FrameSize);
  if (Settings.VstatsFileName && FrameSize != 0) WriteVideoStats(AOutput, FrameSize);
}

void TCustomFFmpeg::RouteCopies(TInputStream& AInput, int AIndex, const AVPacket& APacket) {
  if (BeforeStart(AInput)) return;
  for (auto& Output : Tables.OutputStreams)
    if (Output->SourceIndex == AIndex && !Output->EncodingNeeded)
      CopyPacket(*Output, AInput, APacket);
}

int TCustomFFmpeg::OutputPacket(TInputStream& AInput, int AIndex, const AVPacket* APacket) {
  if (AInput.NextPts == AV_NOPTS_VALUE) AInput.NextPts = AInput.Pts;
  if (APacket && APacket->dts != AV_NOPTS_VALUE)
    AInput.Pts = AInput.NextPts =
        AVUtil().av_rescale_q(APacket->dts, AInput.Stream->time_base, AV_TIME_BASE_Q);

  if (!AInput.DecodingNeeded) {
    if (!APacket) return 0;
    AInput.Pts = AInput.NextPts;
    AdvanceCopiedStream(AInput);
    EmulateRate(AInput);
    RouteCopies(AInput, AIndex, *APacket);
    return 0;
  }

  const AVMediaType Kind = AInput.Stream->codecpar->codec_type;
  if (Kind == AVMEDIA_TYPE_SUBTITLE) {
    if (!APacket) {
      FlushSubtitles(AIndex);
      return 0;
    }
    if (DecodeSubtitle(AInput, AIndex, *APacket) < 0) return -1;
    RouteCopies(AInput, AIndex, *APacket);
    return 0;
  }
  if (Kind != AVMEDIA_TYPE_AUDIO && Kind != AVMEDIA_TYPE_VIDEO) return -1;

  if (Kind == AVMEDIA_TYPE_VIDEO && APacket) {
    NotePacketEnd(AInput, *APacket);
    // An empty packet repeats the picture before it without coding it again; to a decoder it
    // would mean the end of the stream. The pictures' times show the repeat.
    if (APacket->size == 0) return 0;
  }
  const int Decoded =
      AInput.Parser ? DecodeFrames(AInput, AIndex, APacket) : DecodePacket(AInput, AIndex, APacket);
  if (Decoded < 0) return -1;
  // A packet that gives no frame yet (a decoder's delay) still reaches the copies of its
  // stream: they must not lose it.
  if (APacket) RouteCopies(AInput, AIndex, *APacket);
  if (!APacket) {
    if (Kind == AVMEDIA_TYPE_VIDEO) {
      // Filters that hold pictures back give them up before the encoders are drained; then
      // the last picture shows on as long as the source says.
      DrainSourcePictures(AInput, AIndex);
      DrainVideoFilters(AInput, AIndex);
      const int64_t End = PicturesEndOf(AInput);
      for (auto& Output : Tables.OutputStreams)
        if (Output->SourceIndex == AIndex && Output->EncodingNeeded &&
            Output->Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
          EndPictures(*Output, End);
    }
    DrainEncoders(AIndex);
  }
  return 0;
}

void TCustomFFmpeg::NotePacketEnd(TInputStream& AInput, const AVPacket& APacket) {
  const int64_t Start = APacket.pts != AV_NOPTS_VALUE ? APacket.pts : APacket.dts;
  if (Start == AV_NOPTS_VALUE) return;
  const int64_t End = AVUtil().av_rescale_q(Start + std::max<int64_t>(APacket.duration, 0),
                                            AInput.Stream->time_base, AV_TIME_BASE_Q);
  if (AInput.PacketEnd == AV_NOPTS_VALUE || End > AInput.PacketEnd) AInput.PacketEnd = End;
}

void TCustomFFmpeg::NoteSpan(TInputStream& AInput, const AVPacket& APacket) {
  ++AInput.SpanPackets;
  const int64_t Time = APacket.pts != AV_NOPTS_VALUE ? APacket.pts : APacket.dts;
  if (Time == AV_NOPTS_VALUE) return;
  const AVRational TimeBase = AInput.Stream->time_base;
  int64_t Start = AVUtil().av_rescale_q(Time, TimeBase, AV_TIME_BASE_Q);
  int64_t End = Start + (APacket.duration > 0
                             ? AVUtil().av_rescale_q(APacket.duration, TimeBase, AV_TIME_BASE_Q)
                             : PacketLength(AInput));
  // Only what lies inside the run's start and duration counts: before a start seek ("ss" on
  // the input) the run's clock is below 0, before "ss" on the output below its start.
  const bool Trimmed = Options.StartTime != 0 || Files.InputStartSeek[AInput.FileIndex];
  const int64_t Lower = Trimmed ? Options.StartTime : std::numeric_limits<int64_t>::min();
  const int64_t Upper = Options.RecordingTime == std::numeric_limits<int64_t>::max()
                            ? Options.RecordingTime
                            : Options.StartTime + Options.RecordingTime;
  if (Start > Upper || End < Lower) return;
  Start = std::max(Start, Lower);
  End = std::min(End, Upper);
  if (AInput.SpanStart == AV_NOPTS_VALUE || Start < AInput.SpanStart) AInput.SpanStart = Start;
  if (AInput.SpanEnd == AV_NOPTS_VALUE || End > AInput.SpanEnd) AInput.SpanEnd = End;
}

// The frames of a packet the parser splits, one by one; at the end (no packet) what the parser
// still holds, then the decoder's drain.
int TCustomFFmpeg::DecodeFrames(TInputStream& AInput, int AIndex, const AVPacket* APacket) {
  AVPacket* Frame = AInput.FramePacket.get();
  const uint8_t* Data = APacket ? APacket->data : nullptr;
  int Left = APacket ? APacket->size : 0;
  for (;;) {
    uint8_t* Out = nullptr;
    int OutSize = 0;
    const int Used = AVCodec().av_parser_parse2(AInput.Parser.get(), AInput.Decoder, &Out, &OutSize,
                                                Data, Left, APacket ? APacket->pts : AV_NOPTS_VALUE,
                                                APacket ? APacket->dts : AV_NOPTS_VALUE, -1);
    if (Used < 0) return -1;
    Data += Used;
    Left -= Used;
    if (OutSize > 0) {
      Frame->data = Out;
      Frame->size = OutSize;
      Frame->pts = AInput.Parser->pts;
      Frame->dts = AInput.Parser->dts;
      if (DecodePacket(AInput, AIndex, Frame) < 0) return -1;
    }
    // A packet ends when it is used up (the parser may keep its last frame for the next);
    // the end of the stream when nothing more comes out.
    if (APacket ? Left <= 0 : OutSize == 0) break;
    if (Used == 0 && OutSize == 0) break;
  }
  return APacket ? 0 : DecodePacket(AInput, AIndex, nullptr);
}

int TCustomFFmpeg::DecodePacket(TInputStream& AInput, int AIndex, const AVPacket* APacket) {
  const AVMediaType Kind = AInput.Stream->codecpar->codec_type;
  AVCodecContext* Decoder = AInput.Decoder;
  if (APacket) ++AInput.PacketsDecoded;
  const int Sent = AVCodec().avcodec_send_packet(Decoder, APacket);
  if (Sent < 0 && Sent != AVERROR_EOF) return -1;
  AVFrame* Frame = AInput.Frame.get();
  int Frames = 0;
  for (;;) {
    const int Received = AVCodec().avcodec_receive_frame(Decoder, Frame);
    if (Received == AVERROR(EAGAIN) || Received == AVERROR_EOF) break;
    if (Received < 0) return -1;
    ++AInput.FramesDecoded;
    if (++Frames == 2 && APacket && Settings.Verbose > 0)
      Log(0, FormatText("Multiple frames in a packet from stream %d", APacket->stream_index));
    // A picture keeps its own time: the clock of the last packet read runs ahead of it by the
    // decoder's delay (more with frame threads), and between the pictures of a variable rate.
    if (Kind == AVMEDIA_TYPE_VIDEO && Frame->best_effort_timestamp != AV_NOPTS_VALUE)
      AInput.NextPts = AVUtil().av_rescale_q(Frame->best_effort_timestamp, AInput.Stream->time_base,
                                             AV_TIME_BASE_Q);
    AInput.Pts = AInput.NextPts;
    if (Kind == AVMEDIA_TYPE_AUDIO) {
      if (Frame->sample_rate > 0) {
        const int64_t Length =
            static_cast<int64_t>(AV_TIME_BASE) * Frame->nb_samples / Frame->sample_rate;
        AInput.NextPts += Length;
        AInput.SoundDecoded += Length;
      }
    } else {
      AInput.Quality = static_cast<float>(Frame->quality);
      AInput.NextPts += FrameDuration(AInput);
      // The picture shows until the next one; the last one as long as its packet said.
      AInput.PictureEnd =
          AInput.Pts + (Frame->pkt_duration > 0
                            ? AVUtil().av_rescale_q(Frame->pkt_duration, AInput.Stream->time_base,
                                                    AV_TIME_BASE_Q)
                            : AInput.NextPts - AInput.Pts);
    }
    RouteFrame(AInput, AIndex, Frame);
    AVUtil().av_frame_unref(Frame);
  }
  return 0;
}

int TCustomFFmpeg::DecodeSubtitle(TInputStream& AInput, int AIndex, const AVPacket& APacket) {
  AInput.Pts = AInput.NextPts;
  AVSubtitle Subtitle{};
  int GotSubtitle = 0;
  AVPacket* Packet = const_cast<AVPacket*>(&APacket);
  if (AVCodec().avcodec_decode_subtitle2(AInput.Decoder, &Subtitle, &GotSubtitle, Packet) < 0)
    return -1;
  if (!GotSubtitle) return 0;
  struct TRelease {
    AVSubtitle* Subtitle;
    ~TRelease() { AVCodec().avsubtitle_free(Subtitle); }
  } Release{&Subtitle};
  if (BeforeStart(AInput)) return 0;
  // A container that times the subtitle knows better than the decoder, whose end for a DVB
  // page is the page's time-out (often many seconds): the packet's duration sets the end.
  if (APacket.duration > 0) {
    const int64_t Shown =
        AVUtil().av_rescale_q(APacket.duration, AInput.Stream->time_base, AVRational{1, 1000});
    Subtitle.end_display_time =
        static_cast<uint32_t>(std::min<int64_t>(Subtitle.start_display_time + Shown, UINT32_MAX));
  }
  for (auto& Output : Tables.OutputStreams)
    if (Output->SourceIndex == AIndex && Output->EncodingNeeded)
      OutputSubtitle(*Output, AInput, &Subtitle, APacket.pts);
  return 0;
}

void TCustomFFmpeg::CopyPacket(TOutputStream& AOutput, TInputStream& AInput,
                               const AVPacket& APacket) {
  // A copied stream starts at a key frame.
  if (AOutput.FrameNumber == 0 && !(APacket.flags & AV_PKT_FLAG_KEY)) return;
  const AVMediaType Kind = AInput.Stream->codecpar->codec_type;
  if (Kind == AVMEDIA_TYPE_AUDIO) Stats.AudioSize += APacket.size;
  if (Kind == AVMEDIA_TYPE_VIDEO) {
    Stats.VideoSize += APacket.size;
    ++AOutput.SyncOpts;
  }
  AVPacket* Out = Tables.OutputPacket.get();
  if (AVCodec().av_packet_ref(Out, &APacket) < 0) throw FFMpegException("av_malloc fail");
  const AVRational From = AInput.Stream->time_base;
  const AVRational To = AOutput.Stream->time_base;
  Out->stream_index = AOutput.StreamIndex;
  const int64_t Dts = APacket.dts != AV_NOPTS_VALUE
                          ? APacket.dts
                          : AVUtil().av_rescale_q(AInput.Pts, AV_TIME_BASE_Q, From);
  int64_t Pts = APacket.pts;
  const AVCodecID Codec = AInput.Stream->codecpar->codec_id;
  if (Codec == AV_CODEC_ID_MPEG1VIDEO || Codec == AV_CODEC_ID_MPEG2VIDEO) {
    const int64_t Derived = MissingMpegPts(AOutput, AInput, APacket, Dts);
    if (Pts == AV_NOPTS_VALUE) Pts = Derived;
  }
  Out->pts = Pts != AV_NOPTS_VALUE ? AVUtil().av_rescale_q(Pts, From, To) : AV_NOPTS_VALUE;
  Out->dts = AVUtil().av_rescale_q(Dts, From, To);
  Out->duration = AVUtil().av_rescale_q(APacket.duration, From, To);
  Out->pos = -1;
  // At a fixed rate every picture takes a tick of its own: pictures closer than a period (a
  // variable rate) go into the next free tick, as muxers refuse a tick given twice.
  if (AOutput.OneTickPerPicture && Out->dts != AV_NOPTS_VALUE) {
    if (AOutput.LastCopiedDts != AV_NOPTS_VALUE && Out->dts <= AOutput.LastCopiedDts) {
      const int64_t Shift = AOutput.LastCopiedDts + 1 - Out->dts;
      Out->dts += Shift;
      if (Out->pts != AV_NOPTS_VALUE) Out->pts += Shift;
    }
    AOutput.LastCopiedDts = Out->dts;
  }
  AOutput.Writer->Write(Out);
  ++AOutput.FrameNumber;
}

void TCustomFFmpeg::DrainEncoders(int AIndex) {
  for (auto& Output : Tables.OutputStreams) {
    if (Output->SourceIndex != AIndex || !Output->EncodingNeeded) continue;
    const AVMediaType Kind = Output->Encoder->codec_type;
    if (Output->Audio) {
      Output->Audio->Finish();
    } else if (Output->Chunked) {
      // The chunk encoders hold nothing back: what they were sent is all there is to wait for.
      Output->Chunked->Finish();
      TakeChunkedPackets(*Output, true);
    } else if (Kind == AVMEDIA_TYPE_VIDEO) {
      AVCodec().avcodec_send_frame(Output->Encoder, nullptr);
      ReceivePackets(*Output);
    }
    if (Kind == AVMEDIA_TYPE_VIDEO) WriteWaitingPackets(*Output, true);
  }
}

void TCustomFFmpeg::SendPicture(TOutputStream& AOutput, const AVFrame& APicture) {
  if (!AOutput.Chunked) {
    // The encoder takes its own reference (or copy); the picture stays ours.
    if (AVCodec().avcodec_send_frame(AOutput.Encoder, &APicture) < 0)
      throw FFMpegException("Video encoding failed");
    return;
  }
  for (;;) {
    const int Sent = AOutput.Chunked->Send(APicture);
    if (Sent == 0) return;
    if (Sent != AVERROR(EAGAIN)) throw FFMpegException("Video encoding failed");
    TakeChunkedPackets(AOutput, true);
  }
}

int TCustomFFmpeg::ReceivePackets(TOutputStream& AOutput) {
  if (AOutput.Chunked) return TakeChunkedPackets(AOutput, false);
  AVCodecContext* Encoder = AOutput.Encoder;
  AVPacket* Packet = Tables.OutputPacket.get();
  int LastSize = 0;
  for (;;) {
    const int Result = AVCodec().avcodec_receive_packet(Encoder, Packet);
    if (Result == AVERROR(EAGAIN) || Result == AVERROR_EOF) return LastSize;
    if (Result < 0) {
      throw FFMpegException(Encoder->codec_type == AVMEDIA_TYPE_VIDEO ? "Video encoding failed"
                                                                      : "Audio encoding failed");
    }
    LastSize = WriteEncodedPacket(AOutput, Packet);
  }
}

int TCustomFFmpeg::TakeChunkedPackets(TOutputStream& AOutput, bool AWait) {
  AVPacket* Packet = Tables.OutputPacket.get();
  int LastSize = 0;
  for (;;) {
    const int Result = AOutput.Chunked->Receive(Packet, AWait);
    if (Result == AVERROR(EAGAIN) || Result == AVERROR_EOF) return LastSize;
    if (Result < 0) throw FFMpegException("Video encoding failed");
    LastSize = WriteEncodedPacket(AOutput, Packet);
  }
}

int TCustomFFmpeg::WriteEncodedPacket(TOutputStream& AOutput, AVPacket* APacket) {
  const AVCodecContext* Encoder = AOutput.Encoder;
  if (Encoder->codec_type == AVMEDIA_TYPE_VIDEO) {
    Stats.VideoSize += APacket->size;
    NoteEncodedPicture(AOutput, *APacket);
    if (AOutput.LogFile && Encoder->stats_out)
      MyUtil().my_fprintf(AOutput.LogFile.get(), "%s", Encoder->stats_out);
  } else {
    Stats.AudioSize += APacket->size;
  }
  const int Size = APacket->size;
  APacket->stream_index = AOutput.StreamIndex;
  if (Encoder->codec_type == AVMEDIA_TYPE_VIDEO) {
    HoldVideoPacket(AOutput, APacket);
    return Size;
  }
  AVCodec().av_packet_rescale_ts(APacket, Encoder->time_base, AOutput.Stream->time_base);
  AOutput.Writer->Write(APacket);
  return Size;
}

void TCustomFFmpeg::NoteEncodedPicture(TOutputStream& AOutput, const AVPacket& APacket) {
  size_t Size = 0;
  const uint8_t* Stats =
      AVCodec().av_packet_get_side_data(&APacket, AV_PKT_DATA_QUALITY_STATS, &Size);
  if (!Stats || Size < 5) return;
  const uint32_t Lambda = Stats[0] | Stats[1] << 8 | Stats[2] << 16 | uint32_t(Stats[3]) << 24;
  AOutput.Quality = static_cast<float>(Lambda) / FF_QP2LAMBDA;
  AOutput.PictureType = AVUtil().av_get_picture_type_char(static_cast<AVPictureType>(Stats[4]));
  const size_t Planes = Size >= 8 ? std::min<size_t>(Stats[5], 3) : 0;
  for (size_t P = 0; P < Planes && 8 + 8 * (P + 1) <= Size; ++P) {
    uint64_t Error = 0;
    for (int B = 7; B >= 0; --B) Error = Error << 8 | Stats[8 + 8 * P + B];
    AOutput.FrameErrors[P] = Error;
  }
}

} // namespace pelorix
