#include "Muxer.h"

#include "Signals.h"

#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <array>
#include <cmath>

namespace pelorix::testmedia {

namespace {

// Encoders that take any number of samples per frame (PCM) get frames of this size.
constexpr int VariableFrameSamples = 1024;

const AVCodec& FindEncoder(const char* AName) {
  const AVCodec* Codec = avcodec_find_encoder_by_name(AName);
  if (!Codec) throw TMediaError(std::string("encoder ") + AName + " is not available");
  return *Codec;
}

AVSampleFormat PickSampleFormat(const AVCodec& ACodec) {
  if (ACodec.sample_fmts) {
    for (const AVSampleFormat* Format = ACodec.sample_fmts; *Format != AV_SAMPLE_FMT_NONE; ++Format)
      if (CanFillSampleFormat(*Format)) return *Format;
  }
  throw TMediaError(std::string("encoder ") + ACodec.name + " takes no sample format we can fill");
}

void SetLanguage(AVStream& AStream, const char* ALanguage) {
  if (ALanguage) Check(av_dict_set(&AStream.metadata, "language", ALanguage, 0), "language");
}

} // namespace

TMuxer::TMuxer(std::filesystem::path APath, const char* AFormat)
    : Path(std::move(APath)), Packet(CheckAllocated(av_packet_alloc(), "packet")) {
  AVFormatContext* Context = nullptr;
  Check(avformat_alloc_output_context2(&Context, nullptr, AFormat, Path.c_str()),
        std::string("muxer ") + AFormat);
  Output.reset(Context);
  Output->flags |= AVFMT_FLAG_BITEXACT;
}

void TMuxer::SetMuxerOption(const char* AName, const char* AValue) {
  Check(av_opt_set(Output->priv_data, AName, AValue, 0), std::string("muxer option ") + AName);
}

void TMuxer::SetTag(const char* AName, const char* AValue) {
  Check(av_dict_set(&Output->metadata, AName, AValue, 0), std::string("tag ") + AName);
}

void TMuxer::AddChapter(int64_t AStartMs, int64_t AEndMs, const char* ATitle) {
  auto* Chapter = static_cast<AVChapter*>(CheckAllocated(av_mallocz(sizeof(AVChapter)), "chapter"));
  auto** List = static_cast<AVChapter**>(
      av_realloc(Output->chapters, (Output->nb_chapters + 1) * sizeof(AVChapter*)));
  if (!List) {
    av_free(Chapter);
    throw TMediaError("chapter list: out of memory");
  }
  Output->chapters = List;
  Chapter->id = static_cast<int64_t>(Output->nb_chapters) + 1;
  Chapter->time_base = AVRational{1, 1000};
  Chapter->start = AStartMs;
  Chapter->end = AEndMs;
  Output->chapters[Output->nb_chapters++] = Chapter; // freed with the context
  Check(av_dict_set(&Chapter->metadata, "title", ATitle, 0), "chapter title");
}

void TMuxer::AddCover(const std::string& APicture, int AWidth, int AHeight) {
  CoverStream = NewStream();
  CoverStream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  CoverStream->codecpar->codec_id = AV_CODEC_ID_MJPEG;
  CoverStream->codecpar->width = AWidth;
  CoverStream->codecpar->height = AHeight;
  CoverStream->disposition = AV_DISPOSITION_ATTACHED_PIC;
  CoverStream->time_base = AVRational{1, 90000};
  Check(av_dict_set(&CoverStream->metadata, "comment", "Cover (front)", 0), "cover type");
  Check(av_dict_set(&CoverStream->metadata, "title", "Front", 0), "cover title");
  CoverPicture = APicture;
}

AVStream* TMuxer::NewStream() {
  return CheckAllocated(avformat_new_stream(Output.get(), nullptr), "stream");
}

TEncoderStream& TMuxer::AddVideo(const TVideoSettings& ASettings) {
  const AVCodec& Codec = FindEncoder(ASettings.Encoder);
  auto& Encoder = *Encoders.emplace_back(std::make_unique<TEncoderStream>());
  Encoder.Codec.reset(CheckAllocated(avcodec_alloc_context3(&Codec), "encoder"));
  AVCodecContext& Context = *Encoder.Codec;
  Context.width = ASettings.Width;
  Context.height = ASettings.Height;
  Context.pix_fmt = AV_PIX_FMT_YUV420P;
  Context.time_base =
      ASettings.FrameSteps.empty() ? av_inv_q(ASettings.FrameRate) : ASettings.TimeBase;
  Context.framerate = ASettings.FrameRate;
  Context.gop_size = ASettings.GopSize;
  if (ASettings.BitRate > 0) Context.bit_rate = ASettings.BitRate;
  Context.sample_aspect_ratio = ASettings.SampleAspect;
  if (ASettings.Interlaced) {
    Context.flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    Context.field_order = AV_FIELD_TT;
  }
  if (ASettings.BFrames >= 0) Context.max_b_frames = ASettings.BFrames;
  Encoder.Interlaced = ASettings.Interlaced;
  Encoder.CornerMark = ASettings.CornerMark;
  Encoder.NoiseAmplitude = ASettings.NoiseAmplitude;
  Encoder.Content = ASettings.Content;
  Encoder.FrameSteps = ASettings.FrameSteps;
  Encoder.LastPictureHold = ASettings.LastPictureHold;
  Encoder.RepeatPackets = ASettings.RepeatPackets;
  Encoder.Stream = NewStream();
  Encoder.Stream->avg_frame_rate = ASettings.FrameRate;
  Encoder.Stream->sample_aspect_ratio = ASettings.SampleAspect;
  if (ASettings.DisplayRotation != 0) {
    auto* Matrix = reinterpret_cast<int32_t*>(CheckAllocated(
        av_stream_new_side_data(Encoder.Stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)),
        "display matrix"));
    av_display_rotation_set(Matrix, ASettings.DisplayRotation);
  }
  OpenEncoder(Encoder, Codec, ASettings.EncoderOptions);

  Encoder.Frame->format = Context.pix_fmt;
  Encoder.Frame->width = Context.width;
  Encoder.Frame->height = Context.height;
  Check(av_frame_get_buffer(Encoder.Frame.get(), 0), "video frame");
  return Encoder;
}

TEncoderStream& TMuxer::AddAudio(const TAudioSettings& ASettings) {
  const AVCodec& Codec = FindEncoder(ASettings.Encoder);
  auto& Encoder = *Encoders.emplace_back(std::make_unique<TEncoderStream>());
  Encoder.Codec.reset(CheckAllocated(avcodec_alloc_context3(&Codec), "encoder"));
  AVCodecContext& Context = *Encoder.Codec;
  Context.sample_rate = ASettings.SampleRate;
  Context.sample_fmt = PickSampleFormat(Codec);
  av_channel_layout_default(&Context.ch_layout, static_cast<int>(ASettings.ToneHz.size()));
  Context.time_base = AVRational{1, ASettings.SampleRate};
  Context.bit_rate = ASettings.BitRate;
  Encoder.ToneHz = ASettings.ToneHz;
  Encoder.Stream = NewStream();
  SetLanguage(*Encoder.Stream, ASettings.Language);
  OpenEncoder(Encoder, Codec, ASettings.EncoderOptions);

  AVFrame& Frame = *Encoder.Frame;
  Frame.format = Context.sample_fmt;
  Frame.sample_rate = Context.sample_rate;
  Frame.nb_samples = Context.frame_size > 0 ? Context.frame_size : VariableFrameSamples;
  Check(av_channel_layout_copy(&Frame.ch_layout, &Context.ch_layout), "channel layout");
  Check(av_frame_get_buffer(&Frame, 0), "audio frame");
  return Encoder;
}

void TMuxer::OpenEncoder(TEncoderStream& AEncoder, const AVCodec& ACodec,
                         const std::vector<std::pair<const char*, const char*>>& AOptions) {
  AVCodecContext& Context = *AEncoder.Codec;
  Context.flags |= AV_CODEC_FLAG_BITEXACT;
  Context.thread_count = 1;
  if (Output->oformat->flags & AVFMT_GLOBALHEADER) Context.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  TDictionaryPtr Options;
  for (const auto& [Name, Value] : AOptions)
    Check(SetEntry(Options, Name, Value), std::string("encoder option ") + Name);
  AVDictionary* Unused = Options.release();
  const int Opened = avcodec_open2(&Context, &ACodec, &Unused);
  Options.reset(Unused); // what the encoder did not take
  Check(Opened, std::string("opening encoder ") + ACodec.name);
  if (const AVDictionaryEntry* Entry =
          av_dict_get(Options.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX))
    throw TMediaError(std::string("encoder ") + ACodec.name + " has no option " + Entry->key);
  Check(avcodec_parameters_from_context(AEncoder.Stream->codecpar, &Context), "stream parameters");
  AEncoder.Stream->time_base = Context.time_base;
  AEncoder.Frame.reset(CheckAllocated(av_frame_alloc(), "frame"));
}

void TMuxer::AddText(const TTextSettings& ASettings) {
  AVStream* Stream = NewStream();
  Stream->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
  Stream->codecpar->codec_id = ASettings.Codec;
  Stream->time_base = AVRational{1, 1000};
  SetLanguage(*Stream, ASettings.Language);
  TTextStream& Text = Texts.emplace_back(TTextStream{Stream, ASettings.Cues, nullptr});
  if (ASettings.Codec != AV_CODEC_ID_DVB_SUBTITLE) return;
  const AVCodec& Codec = FindEncoder("dvbsub");
  Text.Encoder.reset(CheckAllocated(avcodec_alloc_context3(&Codec), "encoder"));
  Text.Encoder->time_base = AVRational{1, 1000};
  Text.Encoder->width = 176;
  Text.Encoder->height = 144;
  Check(avcodec_open2(Text.Encoder.get(), &Codec, nullptr), "opening encoder dvbsub");
  Check(avcodec_parameters_from_context(Stream->codecpar, Text.Encoder.get()), "stream parameters");
}

void TMuxer::AddProgram(int AId, const char* AName,
                        const std::vector<const TEncoderStream*>& AStreams) {
  AVProgram* Program = CheckAllocated(av_new_program(Output.get(), AId), "program");
  Check(av_dict_set(&Program->metadata, "service_name", AName, 0), "program name");
  Check(av_dict_set(&Program->metadata, "service_provider", "Pelorix", 0), "program provider");
  for (const TEncoderStream* Encoder : AStreams)
    av_program_add_stream_index(Output.get(), AId, static_cast<unsigned>(Encoder->Stream->index));
}

void TMuxer::Write(double ASeconds) {
  for (auto& Encoder : Encoders) {
    const AVRational Rate = !Encoder->ToneHz.empty() ? AVRational{Encoder->Codec->sample_rate, 1}
                            : Encoder->FrameSteps.empty() ? Encoder->Codec->framerate
                                                          : av_inv_q(Encoder->Codec->time_base);
    Encoder->EndPts = std::llround(ASeconds * av_q2d(Rate));
  }
  if (!(Output->oformat->flags & AVFMT_NOFILE))
    Check(avio_open(&Output->pb, Path.c_str(), AVIO_FLAG_WRITE), "opening the file");
  Check(avformat_write_header(Output.get(), nullptr), "writing the header");
  if (CoverStream) {
    Check(av_new_packet(Packet.get(), static_cast<int>(CoverPicture.size())), "cover packet");
    std::copy(CoverPicture.begin(), CoverPicture.end(), Packet->data);
    Packet->stream_index = CoverStream->index;
    Packet->flags |= AV_PKT_FLAG_KEY;
    Check(av_interleaved_write_frame(Output.get(), Packet.get()), "writing the cover");
  }
  for (const TTextStream& Text : Texts) WriteCues(Text);

  // Always feed the encoder that is furthest behind, so packets arrive roughly in file order.
  auto Behind = [](const auto& A, const auto& B) {
    if (A->NextPts >= A->EndPts) return false;
    if (B->NextPts >= B->EndPts) return true;
    return av_compare_ts(A->NextPts, A->Codec->time_base, B->NextPts, B->Codec->time_base) < 0;
  };
  for (;;) {
    auto Next = std::min_element(Encoders.begin(), Encoders.end(), Behind);
    if (Next == Encoders.end() || (*Next)->NextPts >= (*Next)->EndPts) break;
    EncodeNext(**Next);
  }
  for (auto& Encoder : Encoders) SendFrame(*Encoder, nullptr);

  Check(av_write_trailer(Output.get()), "writing the trailer");
  if (!(Output->oformat->flags & AVFMT_NOFILE)) Check(avio_closep(&Output->pb), "closing the file");
}

void TMuxer::WriteCues(const TTextStream& AText) {
  for (const TCue& Cue : AText.Cues) {
    if (AText.Encoder) {
      EncodeBitmapCue(AText, Cue);
      continue;
    }
    Check(av_new_packet(Packet.get(), static_cast<int>(Cue.Text.size())), "cue packet");
    std::copy(Cue.Text.begin(), Cue.Text.end(), Packet->data);
    Packet->pts = Packet->dts = Cue.StartMs;
    Packet->duration = Cue.DurationMs;
    Packet->flags |= AV_PKT_FLAG_KEY;
    Packet->stream_index = AText.Stream->index;
    av_packet_rescale_ts(Packet.get(), AVRational{1, 1000}, AText.Stream->time_base);
    Check(av_interleaved_write_frame(Output.get(), Packet.get()), "writing a cue");
  }
}

// A 32x8 bar of four colours at (16, 112), shown from the cue's start for its duration.
void TMuxer::EncodeBitmapCue(const TTextStream& AText, const TCue& ACue) {
  constexpr int Width = 32, Height = 8;
  std::array<uint8_t, Width * Height> Pixels{};
  for (int I = 0; I < Width * Height; ++I) Pixels[I] = static_cast<uint8_t>((I % Width) / 8);
  std::array<uint32_t, 4> Palette = {0xFF000000u, 0xFFFFFFFFu, 0xFFFF0000u, 0xFF0000FFu};
  AVSubtitleRect Rect{};
  Rect.x = 16;
  Rect.y = 112;
  Rect.w = Width;
  Rect.h = Height;
  Rect.nb_colors = 4;
  Rect.type = SUBTITLE_BITMAP;
  Rect.data[0] = Pixels.data();
  Rect.linesize[0] = Width;
  Rect.data[1] = reinterpret_cast<uint8_t*>(Palette.data());
  Rect.linesize[1] = 4;
  AVSubtitleRect* Rects[] = {&Rect};
  AVSubtitle Subtitle{};
  Subtitle.start_display_time = 0;
  Subtitle.end_display_time = static_cast<uint32_t>(ACue.DurationMs);
  Subtitle.num_rects = 1;
  Subtitle.rects = Rects;
  Subtitle.pts = av_rescale_q(ACue.StartMs, AVRational{1, 1000}, AV_TIME_BASE_Q);
  std::array<uint8_t, 4096> Bytes{};
  const int Size = Check(avcodec_encode_subtitle(AText.Encoder.get(), Bytes.data(),
                                                 static_cast<int>(Bytes.size()), &Subtitle),
                         "encoding a bitmap cue");
  Check(av_new_packet(Packet.get(), Size), "cue packet");
  std::copy_n(Bytes.begin(), Size, Packet->data);
  Packet->pts = Packet->dts = ACue.StartMs;
  Packet->duration = ACue.DurationMs;
  Packet->flags |= AV_PKT_FLAG_KEY;
  Packet->stream_index = AText.Stream->index;
  av_packet_rescale_ts(Packet.get(), AVRational{1, 1000}, AText.Stream->time_base);
  Check(av_interleaved_write_frame(Output.get(), Packet.get()), "writing a cue");
}

void TMuxer::EncodeNext(TEncoderStream& AEncoder) {
  AVFrame& Frame = *AEncoder.Frame;
  // The encoder may still hold the previous picture; this gives us a buffer of our own.
  Check(av_frame_make_writable(&Frame), "frame buffer");
  Frame.pts = AEncoder.NextPts;
  if (AEncoder.ToneHz.empty()) {
    // A new buffer holds whatever the allocator left in the padding past each row, and some
    // encoders read into it: clear it all, so the bytes written never depend on the heap.
    for (AVBufferRef* Buffer : Frame.buf)
      if (Buffer != nullptr) std::memset(Buffer->data, 0, Buffer->size);
    if (AEncoder.Interlaced) {
      Frame.interlaced_frame = 1;
      Frame.top_field_first = 1;
    }
    if (AEncoder.Content == TPictureContent::pcCameraScene)
      FillCameraScene(Frame, AEncoder.PictureIndex);
    else if (AEncoder.Content == TPictureContent::pcCartoon)
      FillCartoon(Frame, AEncoder.PictureIndex);
    else
      FillTestPattern(Frame, AEncoder.PictureIndex, AEncoder.Interlaced);
    if (AEncoder.CornerMark) MarkCorners(Frame);
    if (AEncoder.NoiseAmplitude > 0)
      AddNoise(Frame, AEncoder.PictureIndex, AEncoder.NoiseAmplitude);
    const std::vector<int>& Steps = AEncoder.FrameSteps;
    int64_t Step = Steps.empty() ? 1 : Steps[AEncoder.PictureIndex % Steps.size()];
    if (AEncoder.LastPictureHold > 0 && AEncoder.NextPts + Step >= AEncoder.EndPts)
      Step = AEncoder.LastPictureHold;
    if (AEncoder.LastPictureHold > 0 || AEncoder.RepeatPackets)
      AEncoder.Shows.emplace_back(AEncoder.NextPts, Step);
    AEncoder.NextPts += Step;
    ++AEncoder.PictureIndex;
  } else {
    Frame.nb_samples =
        static_cast<int>(std::min<int64_t>(Frame.nb_samples, AEncoder.EndPts - AEncoder.NextPts));
    FillTones(Frame, AEncoder.NextPts, AEncoder.ToneHz);
    AEncoder.NextPts += Frame.nb_samples;
  }
  SendFrame(AEncoder, &Frame);
}

// Sends one frame (null: end of stream) and writes every packet the encoder has ready.
void TMuxer::SendFrame(TEncoderStream& AEncoder, const AVFrame* AFrame) {
  Check(avcodec_send_frame(AEncoder.Codec.get(), AFrame), "encoding");
  for (;;) {
    const int Result = avcodec_receive_packet(AEncoder.Codec.get(), Packet.get());
    if (Result == AVERROR(EAGAIN) || Result == AVERROR_EOF) return;
    Check(Result, "encoding");
    if (AEncoder.DropLeadingPackets > 0) {
      --AEncoder.DropLeadingPackets;
      av_packet_unref(Packet.get());
      continue;
    }
    WritePacket(AEncoder);
  }
}

void TMuxer::WritePacket(TEncoderStream& AEncoder) {
  // Video encoders leave the duration open: each packet is one step, or, for a held last
  // picture or repeats, as long as its picture was made to show.
  int64_t Repeats = 0;
  if (Packet->duration == 0 && AEncoder.ToneHz.empty()) {
    Packet->duration = 1;
    for (const auto& [Pts, Duration] : AEncoder.Shows)
      if (Pts == Packet->pts) Packet->duration = Duration;
    if (AEncoder.RepeatPackets) {
      Repeats = Packet->duration - 1;
      Packet->duration = 1;
    }
  }
  const int64_t Pts = Packet->pts;
  Packet->stream_index = AEncoder.Stream->index;
  av_packet_rescale_ts(Packet.get(), AEncoder.Codec->time_base, AEncoder.Stream->time_base);
  Check(av_interleaved_write_frame(Output.get(), Packet.get()), "writing a packet");
  // The picture again, not coded: an empty packet per step until the next picture.
  for (int64_t I = 1; I <= Repeats; ++I) {
    Check(av_new_packet(Packet.get(), 0), "repeat packet");
    Packet->pts = Packet->dts = Pts + I;
    Packet->duration = 1;
    Packet->stream_index = AEncoder.Stream->index;
    av_packet_rescale_ts(Packet.get(), AEncoder.Codec->time_base, AEncoder.Stream->time_base);
    Check(av_interleaved_write_frame(Output.get(), Packet.get()), "writing a repeat packet");
  }
}

} // namespace pelorix::testmedia
