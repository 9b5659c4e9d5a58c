// Output stream creation: one video, audio or subtitle stream added to an output container,
// with its encoder context configured from the option state (or the stream marked as a copy),
// and the per-stream options consumed.
//
// Owner: TCustomFFmpeg. Runs on the configuring thread. The encoder contexts are owned by
// StreamCodecs.Outputs and opened by the transcode; failures raise FFMpegException.
#include "FFmpeg.h"

#include "Utf8Text.h"

#include <cctype>
#include <climits>
#include <cstring>

namespace pelorix {

namespace {

// Stream languages were three-letter codes in a four-byte field.
constexpr size_t LanguageLimit = 3;
// Lambda per quantiser step.
constexpr float QualityScale = FF_QP2LAMBDA;

int KindFlag(AVMediaType AType) {
  switch (AType) {
  case AVMEDIA_TYPE_VIDEO:
    return AV_OPT_FLAG_VIDEO_PARAM;
  case AVMEDIA_TYPE_AUDIO:
    return AV_OPT_FLAG_AUDIO_PARAM;
  case AVMEDIA_TYPE_SUBTITLE:
    return AV_OPT_FLAG_SUBTITLE_PARAM;
  default:
    return 0;
  }
}

// An encoder context of AType with that kind's defaults. With the encoder when there is one,
// so that options private to it can be set.
TCodecContextPtr NewEncoderContext(const ::AVCodec* AEncoder, AVMediaType AType, AVCodecID AId) {
  TCodecContextPtr Context(AVCodec().avcodec_alloc_context3(AEncoder));
  if (!Context) throw FFMpegException("Could not alloc stream");
  if (!AEncoder) {
    Context->codec_type = AType;
    AVUtil().av_opt_set_defaults2(Context.get(), KindFlag(AType), KindFlag(AType));
  }
  Context->codec_id = AId;
  return Context;
}

// One optionally signed decimal integer at AText; false when there are no digits or it does
// not fit.
bool ReadInteger(const char*& AText, int& AValue) {
  const char* P = AText;
  const bool Negative = *P == '-';
  if (*P == '-' || *P == '+') ++P;
  if (!std::isdigit(static_cast<unsigned char>(*P))) return false;
  long long Value = 0;
  while (std::isdigit(static_cast<unsigned char>(*P))) {
    Value = Value * 10 + (*P++ - '0');
    if (Value > static_cast<long long>(INT_MAX) + 1) return false;
  }
  Value = Negative ? -Value : Value;
  if (Value > INT_MAX || Value < INT_MIN) return false;
  AValue = static_cast<int>(Value);
  AText = P;
  return true;
}

// "start,end,q/start,end,q...": any single non-digit separates the numbers. A positive q is a
// fixed quantiser, otherwise -q/100 scales the quality.
std::vector<RcOverride> ParseRcOverride(const char* AText) {
  std::vector<RcOverride> Entries;
  const char* P = AText;
  while (P) {
    RcOverride Entry{};
    int Start = 0, End = 0, Q = 0;
    bool Valid = ReadInteger(P, Start) && *P && !std::isdigit(static_cast<unsigned char>(*P));
    if (Valid) ++P;
    Valid = Valid && ReadInteger(P, End) && *P && !std::isdigit(static_cast<unsigned char>(*P));
    if (Valid) ++P;
    Valid = Valid && ReadInteger(P, Q);
    if (!Valid) throw FFMpegException("error parsing rc_override");
    Entry.start_frame = Start;
    Entry.end_frame = End;
    if (Q > 0) {
      Entry.qscale = Q;
      Entry.quality_factor = 1.0f;
    } else {
      Entry.qscale = 0;
      Entry.quality_factor = static_cast<float>(-Q) / 100.0f;
    }
    Entries.push_back(Entry);
    P = std::strchr(P, '/');
    if (P) ++P;
  }
  return Entries;
}

bool Lists(const AVPixelFormat* AList, int AValue) {
  for (; AList && *AList != AV_PIX_FMT_NONE; ++AList)
    if (*AList == AValue) return true;
  return false;
}

bool Lists(const AVSampleFormat* AList, int AValue) {
  for (; AList && *AList != AV_SAMPLE_FMT_NONE; ++AList)
    if (*AList == AValue) return true;
  return false;
}

// The fraction nearest to AValue with both terms at most 255.
AVRational AspectFraction(double AValue) { return AVUtil().av_d2q(AValue, 255); }

void SetLanguage(AVStream* AStream, std::string& ALanguage) {
  if (ALanguage.empty()) return;
  AVUtil().av_dict_set(&AStream->metadata, "language", CutUtf8(ALanguage, LanguageLimit).c_str(),
                       0);
  ALanguage.clear();
}

// A channel layout with AChannels channels; an existing layout of that count is kept.
void SetChannels(AVCodecContext* AContext, int AChannels) {
  if (AContext->ch_layout.nb_channels == AChannels) return;
  AVUtil().av_channel_layout_uninit(&AContext->ch_layout);
  AVUtil().av_channel_layout_default(&AContext->ch_layout, AChannels);
}

// The encoder a name asks for ("libxvid"), not merely the first one of its codec (the
// library's own "mpeg4"); without a name, the first of the codec.
const ::AVCodec* NamedEncoder(const char* AName, AVCodecID AId) {
  const ::AVCodec* Named = AName ? AVCodec().avcodec_find_encoder_by_name(AName) : nullptr;
  return Named && Named->id == AId ? Named : AVCodec().avcodec_find_encoder(AId);
}

} // namespace

// Adds a stream and its codec record at the same index. Null when no stream could be added,
// including a file that already has as many streams as the engine's tables hold.
AVStream* TCustomFFmpeg::AddOutputStream(AVFormatContext* AContainer, TOutputStreamCodec*& ACodec) {
  const int FileIndex = OutputFileIndexOf(AContainer);
  if (FileIndex >= MaxFiles || AContainer->nb_streams >= static_cast<unsigned>(MaxStreams))
    return nullptr;
  AVStream* Stream = AVFormat().avformat_new_stream(AContainer, nullptr);
  if (!Stream) return nullptr;
  Stream->id = Stream->index;
  std::vector<TOutputStreamCodec>& Codecs = StreamCodecs.Outputs[FileIndex];
  Codecs.resize(AContainer->nb_streams);
  ACodec = &Codecs[Stream->index];
  return Stream;
}

void TCustomFFmpeg::ApplyRcOverride(AVCodecContext* AContext) {
  if (!Options.VideoRcOverride) return;
  std::vector<RcOverride> Entries;
  try {
    Entries = ParseRcOverride(Options.VideoRcOverride.get());
  } catch (const FFMpegException&) {
    Options.VideoCodecName.reset();
    throw;
  }
  // The library frees the list with the context.
  auto* List = static_cast<RcOverride*>(AVUtil().av_mallocz(Entries.size() * sizeof(RcOverride)));
  if (!List) throw FFMpegException("Could not alloc stream");
  std::memcpy(List, Entries.data(), Entries.size() * sizeof(RcOverride));
  AContext->rc_override = List;
  AContext->rc_override_count = static_cast<int>(Entries.size());
}

void TCustomFFmpeg::SetEncoderFrameRate(AVCodecContext* AContext, const ::AVCodec* AEncoder,
                                        AVRational ARate) {
  AVRational Chosen = ARate;
  if (AEncoder && AEncoder->supported_framerates)
    Chosen = AEncoder->supported_framerates[AVUtil().av_find_nearest_q_idx(
        ARate, AEncoder->supported_framerates)];
  AContext->time_base = AVRational{Chosen.den, Chosen.num};
  AContext->framerate = Chosen;
}

void TCustomFFmpeg::NewVideoStream(AVFormatContext* AContainer) {
  Owner.Check(__func__);
  const int FileIndex = OutputFileIndexOf(AContainer);
  TOutputStreamCodec* Codec = nullptr;
  AVStream* Stream = AddOutputStream(AContainer, Codec);
  if (!Stream) {
    Options.VideoCodecName.reset();
    throw FFMpegException("Could not alloc stream");
  }
  Files.BitstreamFilterChains[FileIndex][Stream->index] = std::move(Files.VideoBitstreamFilters);
  Files.VideoBitstreamFilters.clear();

  const bool Copy = Options.VideoStreamCopy != 0;
  AVCodecID Id = AV_CODEC_ID_NONE;
  const ::AVCodec* Encoder = nullptr;
  if (!Copy) {
    if (Options.VideoCodecName) {
      if (!FindCodecId(Options.VideoCodecName.get(), AVMEDIA_TYPE_VIDEO, true, Id))
        throw FFMpegException(Run.LastErrorText);
    } else {
      Id = AVFormat().av_guess_codec(AContainer->oformat, nullptr, AContainer->url, nullptr,
                                     AVMEDIA_TYPE_VIDEO);
    }
    Encoder = NamedEncoder(Options.VideoCodecName.get(), Id);
  }
  Codec->Encoder = NewEncoderContext(Encoder, AVMEDIA_TYPE_VIDEO, Id);
  AVCodecContext* C = Codec->Encoder.get();
  AVCodecContext* Parked = LibOptions.CodecOptions[ckVideo].get();
  Stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  Stream->codecpar->codec_id = Id;

  C->thread_count = Options.ThreadCount;
  if (Options.VideoCodecTag != 0) C->codec_tag = Options.VideoCodecTag;
  // The header flags also go to the parked video settings, so that a parked "flags" copied
  // below carries them instead of taking them away.
  const int GlobalHeader = Settings.VideoGlobalHeader;
  if ((GlobalHeader & 1) ||
      (GlobalHeader == 0 && (AContainer->oformat->flags & AVFMT_GLOBALHEADER))) {
    C->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (Parked) Parked->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (GlobalHeader & 2) {
    C->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    if (Parked) Parked->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }

  if (Copy) {
    Codec->StreamCopy = true;
    Codec->InheritAspect =
        Options.InputVideo.Width != 0 && Options.FrameAspectRatio == Options.InputVideo.AspectRatio;
    const bool Sized = Options.FrameWidth * Options.FrameHeight != 0;
    Stream->sample_aspect_ratio =
        AspectFraction(Sized ? static_cast<double>(Options.FrameAspectRatio) * Options.FrameHeight /
                                   Options.FrameWidth
                             : static_cast<double>(Options.FrameAspectRatio) * 3 / 4);
  } else {
    const AVRational Rate = Options.FrameRate.num != 0 ? Options.FrameRate : AVRational{25, 1};
    SetContextOptions(C, Parked, AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);

    SetEncoderFrameRate(C, Encoder, Rate);

    C->width = Options.FrameWidth + Options.FramePadRight + Options.FramePadLeft;
    C->height = Options.FrameHeight + Options.FramePadTop + Options.FramePadBottom;
    C->sample_aspect_ratio =
        AspectFraction(C->width * C->height != 0
                           ? static_cast<double>(Options.FrameAspectRatio) * C->height / C->width
                           : static_cast<double>(Options.FrameAspectRatio) * 3 / 4);
    Stream->sample_aspect_ratio = C->sample_aspect_ratio;

    C->pix_fmt = static_cast<AVPixelFormat>(Options.FramePixFmt);
    if (Encoder && Encoder->pix_fmts && !Lists(Encoder->pix_fmts, Options.FramePixFmt))
      C->pix_fmt = Encoder->pix_fmts[0];

    // What still holds the last input's values was not asked for: the transcode gives the
    // stream the properties of its own source instead.
    const TStreamProperties& Input = Options.InputVideo;
    const bool Padded = Options.FramePadTop + Options.FramePadBottom + Options.FramePadLeft +
                            Options.FramePadRight !=
                        0;
    Codec->InheritSize = Input.Width != 0 && !Padded && Options.FrameWidth == Input.Width &&
                         Options.FrameHeight == Input.Height;
    Codec->InheritRate = Input.Width != 0 && Options.FrameRate.num == Input.FrameRate.num &&
                         Options.FrameRate.den == Input.FrameRate.den;
    Codec->InheritAspect = Input.Width != 0 && Options.FrameAspectRatio == Input.AspectRatio;
    Codec->InheritPixFmt = Input.Width != 0 && Options.FramePixFmt == Input.PixFmt;

    if (Options.IntraOnly) C->gop_size = 0;
    if (Options.VideoQscale != 0 || Options.SameQuality) {
      C->flags |= AV_CODEC_FLAG_QSCALE;
      Codec->Quality = QualityScale * Options.VideoQscale;
      C->global_quality = static_cast<int>(Codec->Quality);
    }
    // The encoder frees its matrices with itself: each gets a copy of its own.
    const auto Matrix = [](const TAvMatrix& AMatrix) {
      return static_cast<uint16_t*>(AVUtil().av_memdup(AMatrix.get(), 64 * sizeof(uint16_t)));
    };
    if (Options.IntraMatrix) C->intra_matrix = Matrix(Options.IntraMatrix);
    if (Options.InterMatrix) C->inter_matrix = Matrix(Options.InterMatrix);
    C->thread_count = Options.ThreadCount;

    ApplyRcOverride(C);
    if (C->rc_initial_buffer_occupancy == 0)
      C->rc_initial_buffer_occupancy = C->rc_buffer_size * 3 / 4;
    // The motion-estimation threshold no longer exists; the setting is kept but unused.
    C->intra_dc_precision = Options.IntraDcPrecision - 8;
    if (Settings.DoPsnr) C->flags |= AV_CODEC_FLAG_PSNR;
    if (Settings.DoPass == 1)
      C->flags |= AV_CODEC_FLAG_PASS1;
    else if (Settings.DoPass != 0)
      C->flags |= AV_CODEC_FLAG_PASS2;
  }

  Options.VideoDisable = 0;
  Options.VideoCodecName.reset();
  Options.VideoStreamCopy = 0;
}

void TCustomFFmpeg::NewAudioStream(AVFormatContext* AContainer) {
  Owner.Check(__func__);
  const int FileIndex = OutputFileIndexOf(AContainer);
  TOutputStreamCodec* Codec = nullptr;
  AVStream* Stream = AddOutputStream(AContainer, Codec);
  if (!Stream) {
    Options.AudioCodecName.reset();
    Options.AudioLanguage.clear();
    throw FFMpegException("Could not alloc stream");
  }
  Files.BitstreamFilterChains[FileIndex][Stream->index] = std::move(Files.AudioBitstreamFilters);
  Files.AudioBitstreamFilters.clear();

  const bool Copy = Options.AudioStreamCopy != 0;
  AVCodecID Id = AV_CODEC_ID_NONE;
  const ::AVCodec* Encoder = nullptr;
  if (!Copy) {
    Id = AVFormat().av_guess_codec(AContainer->oformat, nullptr, AContainer->url, nullptr,
                                   AVMEDIA_TYPE_AUDIO);
    if (Options.AudioCodecName &&
        !FindCodecId(Options.AudioCodecName.get(), AVMEDIA_TYPE_AUDIO, true, Id)) {
      Options.AudioCodecName.reset();
      Options.AudioLanguage.clear();
      throw FFMpegException(Run.LastErrorText);
    }
    Encoder = NamedEncoder(Options.AudioCodecName.get(), Id);
  }
  Codec->Encoder = NewEncoderContext(Encoder, AVMEDIA_TYPE_AUDIO, Id);
  AVCodecContext* C = Codec->Encoder.get();
  AVCodecContext* Parked = LibOptions.CodecOptions[ckAudio].get();
  Stream->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  Stream->codecpar->codec_id = Id;

  C->thread_count = Options.ThreadCount;
  if (Options.AudioCodecTag != 0) C->codec_tag = Options.AudioCodecTag;
  if (AContainer->oformat->flags & AVFMT_GLOBALHEADER) {
    C->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (Parked) Parked->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }

  if (Copy) {
    Codec->StreamCopy = true;
    SetChannels(C, Options.AudioChannels);
  } else {
    SetContextOptions(C, Parked, AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    if (Options.AudioQscale > -99999.0f) {
      C->flags |= AV_CODEC_FLAG_QSCALE;
      Codec->Quality = QualityScale * Options.AudioQscale;
      C->global_quality = static_cast<int>(Codec->Quality);
    }
    C->thread_count = Options.ThreadCount;
    SetChannels(C, Options.AudioChannels);
    C->sample_fmt = static_cast<AVSampleFormat>(Options.AudioSampleFmt);
    if (Encoder && Encoder->sample_fmts && !Lists(Encoder->sample_fmts, Options.AudioSampleFmt))
      C->sample_fmt = Encoder->sample_fmts[0];
  }
  C->sample_rate = Options.AudioSampleRate;
  C->time_base = AVRational{1, Options.AudioSampleRate};
  if (!Copy) {
    const TStreamProperties& Input = Options.InputAudio;
    Codec->InheritChannels = Input.Channels != 0 && Options.AudioChannels == Input.Channels;
    Codec->InheritSampleRate = Input.SampleRate != 0 && Options.AudioSampleRate == Input.SampleRate;
    Codec->InheritSampleFmt = Input.Channels != 0 && Options.AudioSampleFmt == Input.SampleFmt;
  }
  SetLanguage(Stream, Options.AudioLanguage);

  Options.AudioDisable = 0;
  Options.AudioCodecName.reset();
  Options.AudioStreamCopy = 0;
}

void TCustomFFmpeg::NewSubtitleStream(AVFormatContext* AContainer) {
  Owner.Check(__func__);
  const int FileIndex = OutputFileIndexOf(AContainer);
  TOutputStreamCodec* Codec = nullptr;
  AVStream* Stream = AddOutputStream(AContainer, Codec);
  if (!Stream) {
    Options.SubtitleCodecName.reset();
    Options.SubtitleLanguage.clear();
    throw FFMpegException("Could not alloc stream");
  }
  Files.BitstreamFilterChains[FileIndex][Stream->index] = std::move(Files.SubtitleBitstreamFilters);
  Files.SubtitleBitstreamFilters.clear();
  Stream->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;

  if (Options.SubtitleStreamCopy) {
    Codec->StreamCopy = true;
    Codec->Encoder = NewEncoderContext(nullptr, AVMEDIA_TYPE_SUBTITLE, AV_CODEC_ID_NONE);
  } else {
    AVCodecID Id = AV_CODEC_ID_NONE;
    if (!FindCodecId(Options.SubtitleCodecName.get(), AVMEDIA_TYPE_SUBTITLE, true, Id)) {
      Options.SubtitleCodecName.reset();
      Options.SubtitleLanguage.clear();
      throw FFMpegException(Run.LastErrorText);
    }
    // Without a name, the format's own subtitle codec when the inputs' subtitles convert to
    // it; a stream without any codec could never be written.
    if (!Options.SubtitleCodecName) Id = ConvertibleSubtitleCodec(AContainer->oformat);
    Codec->Encoder =
        NewEncoderContext(AVCodec().avcodec_find_encoder(Id), AVMEDIA_TYPE_SUBTITLE, Id);
    Stream->codecpar->codec_id = Id;
    SetContextOptions(Codec->Encoder.get(), LibOptions.CodecOptions[ckSubtitle].get(),
                      AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  }
  SetLanguage(Stream, Options.SubtitleLanguage);

  Options.SubtitleDisable = 0;
  Options.SubtitleCodecName.reset();
  Options.SubtitleStreamCopy = 0;
}

} // namespace pelorix
