// Input file opening: the demuxer options taken from the option state, the open and the stream
// probe, the start seek, one decoder context per input stream, and the input's properties
// copied back into the option state so that a following output inherits them. Also the codec
// lookup by name that output stream creation shares.
//
// Owner: TCustomFFmpeg. Runs on the configuring thread; only the stream probe takes CodecLock,
// because another engine may be opening or closing codecs on its worker thread meanwhile.
#include "FFmpeg.h"

#include "CodecLock.h"
#include "OpenErrorText.h"
#include "TextFormat.h"

#include <algorithm>
#include <cctype>

namespace pelorix {

namespace {

// The lower-case extension of a file name, with its dot; empty when there is none.
std::string LowerExtension(const std::string& AFileName) {
  const size_t Dot = AFileName.find_last_of('.');
  const size_t Slash = AFileName.find_last_of('/');
  if (Dot == std::string::npos || (Slash != std::string::npos && Dot < Slash)) return {};
  std::string Extension = AFileName.substr(Dot);
  std::transform(Extension.begin(), Extension.end(), Extension.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  return Extension;
}

} // namespace

bool TCustomFFmpeg::FindCodecId(const char* AName, AVMediaType AType, bool AEncoder,
                                AVCodecID& ACodecId) {
  ACodecId = AV_CODEC_ID_NONE;
  if (!AName || !*AName) return true;
  const ::AVCodec* Codec = AEncoder ? AVCodec().avcodec_find_encoder_by_name(AName)
                                    : AVCodec().avcodec_find_decoder_by_name(AName);
  const std::string Word = AEncoder ? "encoder" : "decoder";
  if (!Codec) {
    Run.LastErrorText = "Unknown " + Word + " '" + AName + "'";
    return false;
  }
  if (Codec->type != AType) {
    Run.LastErrorText = "Invalid " + Word + " type '" + AName + "'";
    return false;
  }
  ACodecId = Codec->id;
  return true;
}

void TCustomFFmpeg::ConsumeInputOptions() {
  Options.FileInputFormat = nullptr;
  Options.FileOutputFormat = nullptr;
  Options.VideoChannel = 0;
  Options.RateEmu = 0;
  Options.VideoCodecName.reset();
  Options.AudioCodecName.reset();
  Options.SubtitleCodecName.reset();
}

// The demuxer parameters travel as demuxer options. Only values that are set go in: raw
// demuxers refuse an unset "0x0" size or "0/0" rate. Demuxers ignore names they do not know.
void TCustomFFmpeg::BuildDemuxerOptions(TAvDictionary& AOptions) {
  const auto Set = [&AOptions](const char* AName, const std::string& AValue) {
    AVUtil().av_dict_set(AOptions.Address(), AName, AValue.c_str(), 0);
  };
  if (Options.AudioSampleRate > 0) Set("sample_rate", std::to_string(Options.AudioSampleRate));
  if (Options.AudioChannels > 0) {
    AVChannelLayout Layout{};
    AVUtil().av_channel_layout_default(&Layout, Options.AudioChannels);
    char Text[128] = {};
    if (AVUtil().av_channel_layout_describe(&Layout, Text, sizeof Text) > 0) Set("ch_layout", Text);
    AVUtil().av_channel_layout_uninit(&Layout);
  }
  if (Options.FrameRate.num != 0 && Options.FrameRate.den != 0)
    Set("framerate",
        std::to_string(Options.FrameRate.num) + "/" + std::to_string(Options.FrameRate.den));
  const int Width = Options.FrameWidth + Options.FramePadLeft + Options.FramePadRight;
  const int Height = Options.FrameHeight + Options.FramePadTop + Options.FramePadBottom;
  if (Width != 0 && Height != 0)
    Set("video_size", std::to_string(Width) + "x" + std::to_string(Height));
  if (Options.FramePixFmt != AV_PIX_FMT_NONE) {
    if (const char* Name =
            AVUtil().av_get_pix_fmt_name(static_cast<AVPixelFormat>(Options.FramePixFmt)))
      Set("pixel_format", Name);
  }
  // Capture devices took a channel and a TV standard; none of the loaded libraries has such
  // a demuxer, but a forced format that knows the names still receives them.
  if (Options.VideoChannel != 0) Set("channel", std::to_string(Options.VideoChannel));
  if (Options.VideoStandard) Set("standard", Options.VideoStandard.get());
  // Looping an input is the image sequence demuxer's own switch now.
  if (Options.LoopInput) Set("loop", "1");
  // Parked demuxer options private to one demuxer cannot be set on a context without its
  // demuxer; they go in with the open instead.
  for (const TParkedOption& Parked : LibOptions.FormatParked.Names)
    if (Parked.Private && (Parked.Flags & AV_OPT_FLAG_DECODING_PARAM))
      Set(Parked.Name.c_str(), LibOptions.FormatParked.PrivateValues.at(Parked.Name));
}

// Maps the installed libraries' open failures onto the codes the error texts are chosen by.
// Invalid data no longer tells an unknown format from a broken header, so the file is probed
// again to tell them apart.
int TCustomFFmpeg::InputOpenErrorCode(const std::string& AFileName, int ACode) const {
  return OpenErrorCode(AFileName, ACode, Options.FileInputFormat != nullptr);
}

// The fixed open texts name a few causes only, and "Error while parsing header" stands for any
// invalid argument as well: the library's own reason goes to the log first, unless the fixed
// text already says it (no such file, no memory, a broken or unknown file).
void TCustomFFmpeg::LogOpenReason(const std::string& AFileName, int ACode) {
  if (ACode == AVERROR(ENOENT) || ACode == AVERROR(ENOMEM) || ACode == AVERROR_INVALIDDATA) return;
  Log(0, AFileName + ": " + LibraryErrorText(ACode));
}

bool TCustomFFmpeg::OpenInputFile(const std::string& AFileName) {
  Owner.Check(__func__);
  // The per-input options are taken by this open whether it succeeds or not.
  struct TConsume {
    TCustomFFmpeg& Engine;
    ~TConsume() { Engine.ConsumeInputOptions(); }
  } Consume{*this};

  if (Files.InputFileCount < 0 || Files.InputFileCount >= MaxFiles) {
    Run.LastErrorText = AFileName + ": too many input files";
    return false;
  }
  TFormatContextPtr Prepared(AVFormat().avformat_alloc_context());
  if (!Prepared) {
    Run.LastErrorText = FileOpenErrorText(AFileName, AVERROR(ENOMEM));
    return false;
  }
  AVCodecID VideoId = AV_CODEC_ID_NONE, AudioId = AV_CODEC_ID_NONE;
  AVCodecID SubtitleId = AV_CODEC_ID_NONE;
  if (!FindCodecId(Options.VideoCodecName.get(), AVMEDIA_TYPE_VIDEO, false, VideoId) ||
      !FindCodecId(Options.AudioCodecName.get(), AVMEDIA_TYPE_AUDIO, false, AudioId))
    return false;
  TAvDictionary DemuxerOptions;
  BuildDemuxerOptions(DemuxerOptions);
  SetContextOptions(Prepared.get(), LibOptions.FormatOptions.get(), AV_OPT_FLAG_DECODING_PARAM);
  if (!FindCodecId(Options.SubtitleCodecName.get(), AVMEDIA_TYPE_SUBTITLE, false, SubtitleId))
    return false;
  // The old image sequence convention: a PGM picture carrying YUV planes.
  Prepared->video_codec_id = Settings.PgmyuvCompatibilityHack ? AV_CODEC_ID_PGMYUV : VideoId;
  Prepared->audio_codec_id = AudioId;
  Prepared->subtitle_codec_id = SubtitleId;

  // The open frees the context it was given when it fails.
  AVFormatContext* Raw = Prepared.release();
  const int Opened = AVFormat().avformat_open_input(
      &Raw, AFileName.c_str(), Options.FileInputFormat, DemuxerOptions.Address());
  if (Opened < 0) {
    LogOpenReason(AFileName, Opened);
    Run.LastErrorText = FileOpenErrorText(AFileName, InputOpenErrorCode(AFileName, Opened));
    return false;
  }
  TInputContextPtr Input(Raw);

  if (Options.ProgramId != 0)
    for (unsigned I = 0; I < Input->nb_programs; ++I)
      if (Input->programs[I]->id != Options.ProgramId) Input->programs[I]->discard = AVDISCARD_ALL;

  int Probed = 0;
  {
    std::lock_guard Guard(CodecLock());
    Probed = AVFormat().avformat_find_stream_info(Input.get(), nullptr);
  }
  // Quiet runs take what the container header told and go on.
  if (Probed < 0 && Settings.Verbose >= 0) {
    Run.LastErrorText = AFileName + ": could not find codec parameters";
    return false;
  }

  int64_t Timestamp = Options.StartTime;
  const bool StartSeek = Options.StartTime != 0;
  if (Input->start_time != AV_NOPTS_VALUE) Timestamp += Input->start_time;
  if (StartSeek) {
    AVFormat().av_seek_frame(Input.get(), -1, Timestamp, AVSEEK_FLAG_BACKWARD); // best effort
    Options.StartTime = 0;
  }

  std::vector<TInputStreamCodec> Codecs(Input->nb_streams);
  for (unsigned I = 0; I < Input->nb_streams; ++I) {
    PrepareInputStream(Input->streams[I], Codecs[I], AFileName);
    if (!Codecs[I].Decoder) {
      Run.LastErrorText = FileOpenErrorText(AFileName, AVERROR(ENOMEM));
      return false;
    }
  }

  if (Input->duration != AV_NOPTS_VALUE) {
    const int64_t Duration = Input->duration / 1000;
    if (Run.RecordingDuration < Duration) Run.RecordingDuration = static_cast<int32_t>(Duration);
  }

  const int Index = Files.InputFileCount;
  Files.InputTsOffset[Index] =
      Settings.CopyTs ? Options.InputTsOffsetOption : Options.InputTsOffsetOption - Timestamp;
  Files.InputStartSeek[Index] = StartSeek;
  if (Settings.Verbose >= 0) AVFormat().av_dump_format(Input.get(), Index, AFileName.c_str(), 0);
  Files.InputFiles[Index] = std::move(Input);
  StreamCodecs.Inputs[Index] = std::move(Codecs);
  ++Files.InputFileCount;
  return true;
}

AVRational TCustomFFmpeg::PictureRateOf(const AVStream* AStream) {
  const auto Valid = [](AVRational ARate) { return ARate.num > 0 && ARate.den > 0; };
  AVRational Rate = AStream->r_frame_rate;
  const AVRational Average = AStream->avg_frame_rate;
  // The base rate is the finest step between time stamps. For a variable-rate stream it is a
  // tick of the time base (600 for a phone's 1/600), for a field-coded one the field rate;
  // either way well above the pictures actually shown per second.
  if (Valid(Average) && (!Valid(Rate) || av_q2d(Rate) > 1.5 * av_q2d(Average))) Rate = Average;
  if (!Valid(Rate)) return AStream->r_frame_rate;
  // Encoders take the rate as a time base of at most 16-bit terms (MPEG-4 Visual refuses a
  // larger denominator); an average such as 630000/86999 becomes its nearest such fraction.
  if (Rate.num > 65535 || Rate.den > 65535) Rate = AVUtil().av_d2q(av_q2d(Rate), 65535);
  return Rate;
}

TStreamProperties TCustomFFmpeg::PropertiesOf(const AVStream* AStream,
                                              const AVCodecContext* ADecoder) {
  TStreamProperties Facts;
  const AVCodecContext* C = ADecoder;
  if (C->codec_type == AVMEDIA_TYPE_AUDIO) {
    Facts.Channels = C->ch_layout.nb_channels;
    Facts.SampleRate = C->sample_rate;
    Facts.SampleFmt = C->sample_fmt;
    return Facts;
  }
  const AVRational Sample =
      AStream->sample_aspect_ratio.num != 0 ? AStream->sample_aspect_ratio : C->sample_aspect_ratio;
  double Ratio = Sample.den ? av_q2d(Sample) : 0.0;
  // A quarter turn makes the rows columns: the sides and the shape of a sample swap.
  const bool Swapped = TurnOfStream(AStream).SwapsSides();
  const int Width = Swapped ? C->height : C->width;
  const int Height = Swapped ? C->width : C->height;
  if (Swapped && Ratio != 0) Ratio = 1.0 / Ratio;
  Facts.Width = Width;
  Facts.Height = Height;
  if (Width * Height != 0)
    Facts.AspectRatio = static_cast<float>(Ratio != 0 ? Ratio * Width / Height
                                                      : static_cast<double>(Width) / Height);
  else
    Facts.AspectRatio = static_cast<float>(Ratio != 0 ? Ratio : 4.0 / 3.0);
  Facts.PixFmt = C->pix_fmt;
  // An output shows at most 60 pictures a second; a faster source gives up pictures where its
  // output has a fixed rate.
  Facts.FrameRate = PictureRateOf(AStream);
  if (Facts.FrameRate.num > 0 && Facts.FrameRate.den > 0 &&
      av_q2d(Facts.FrameRate) > MaxOutputPictureRate)
    Facts.FrameRate = AVRational{MaxOutputPictureRate, 1};
  return Facts;
}

// Builds the decoder context of one input stream and takes the stream's properties into the
// option state. Leaves ACodec.Decoder empty when no context could be made.
void TCustomFFmpeg::PrepareInputStream(AVStream* AStream, TInputStreamCodec& ACodec,
                                       const std::string& AFileName) {
  const AVCodecParameters* Parameters = AStream->codecpar;
  if (Parameters->codec_type < AVMEDIA_TYPE_UNKNOWN || Parameters->codec_type >= AVMEDIA_TYPE_NB)
    throw FFMpegException("invalid codec_type");

  // With its decoder, so that options private to that decoder can be set on it.
  TCodecContextPtr Context(
      AVCodec().avcodec_alloc_context3(AVCodec().avcodec_find_decoder(Parameters->codec_id)));
  if (!Context || AVCodec().avcodec_parameters_to_context(Context.get(), Parameters) < 0) return;
  AVCodecContext* C = Context.get();
  // Streams no longer carry a codec context with its time base; the stream's codec time base
  // stands in for it wherever the old context's was read.
  ACodec.CodecTimeBase = AVFormat().av_stream_get_codec_timebase(AStream);
  C->time_base = ACodec.CodecTimeBase;
  ACodec.Turn = TurnOfStream(AStream);
  C->thread_count = Options.ThreadCount;

  switch (Parameters->codec_type) {
  case AVMEDIA_TYPE_VIDEO: {
    SetContextOptions(C, LibOptions.CodecOptions[ckVideo].get(),
                      AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
    if (C->pix_fmt == AV_PIX_FMT_NONE && LowerExtension(AFileName).starts_with(".rmvb"))
      C->pix_fmt = AV_PIX_FMT_YUV420P;
    const TStreamProperties Video = PropertiesOf(AStream, C);
    Options.FrameHeight = Video.Height;
    Options.FrameWidth = Video.Width;
    Options.FrameAspectRatio = Video.AspectRatio;
    Options.FramePixFmt = Video.PixFmt;
    // Edge emulation and the motion-vector debug view are gone from the decoders: a
    // low-resolution decode and "me_threshold" need nothing here any more.
    const AVRational Real = AStream->r_frame_rate;
    if ((C->time_base.den != Real.num || C->time_base.num != Real.den) && Settings.Verbose > 0 &&
        Callbacks.LogCallback)
      Log(1, FormatText("Seems stream %d codec frame rate differs from container frame rate: %2.2f "
                        "(%d/%d) -> %2.2f (%d/%d)",
                        AStream->index,
                        C->time_base.num ? static_cast<double>(C->time_base.den) / C->time_base.num
                                         : 0.0,
                        C->time_base.den, C->time_base.num, Real.den ? av_q2d(Real) : 0.0, Real.num,
                        Real.den));
    Options.FrameRate = Video.FrameRate;
    Options.InputVideo = Video;
    ACodec.RateEmu = Options.RateEmu != 0;
    if (Options.VideoDisable)
      AStream->discard = AVDISCARD_ALL;
    else if (Options.VideoDiscard != 0)
      AStream->discard = static_cast<AVDiscard>(
          std::clamp<int>(Options.VideoDiscard, AVDISCARD_NONE, AVDISCARD_ALL));
    break;
  }
  case AVMEDIA_TYPE_AUDIO:
    SetContextOptions(C, LibOptions.CodecOptions[ckAudio].get(),
                      AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
    Options.InputAudio = PropertiesOf(AStream, C);
    Options.AudioChannels = Options.InputAudio.Channels;
    Options.AudioSampleRate = Options.InputAudio.SampleRate;
    Options.AudioSampleFmt = Options.InputAudio.SampleFmt;
    if (Options.AudioDisable) AStream->discard = AVDISCARD_ALL;
    break;
  case AVMEDIA_TYPE_SUBTITLE:
    if (Options.SubtitleDisable) AStream->discard = AVDISCARD_ALL;
    break;
  default:
    break;
  }
  ACodec.Decoder = std::move(Context);
}

} // namespace pelorix
