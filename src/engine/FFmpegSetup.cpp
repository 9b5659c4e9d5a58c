// The first half of a transcode: the working tables, the source of every output stream,
// stream copy or re-encoding, the state of the re-encoding paths, two-pass files, the opened
// encoders and decoders, the meta data and the container headers.
//
// Runs on the run's thread. Every failure raises FFMpegException; RunTranscode then closes the
// codecs still listed as open and clears the tables.
#include "FFmpeg.h"

#include "CodecLock.h"
#include "MediaLibraries.h"
#include "OpenErrorText.h"
#include "TextFormat.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>

namespace pelorix {

namespace {

AVMediaType KindOf(const AVStream* AStream) { return AStream->codecpar->codec_type; }

// A stream an output of AKind takes when no map names its source: cover pictures (attached
// pictures) are artwork and feed an output only through a map.
bool Feeds(const AVStream* AStream, AVMediaType AKind) {
  return KindOf(AStream) == AKind && !(AStream->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

// The muxers that write a stream's display matrix (the MP4 family's track header).
bool CarriesDisplayMatrix(const AVOutputFormat* AFormat) {
  static const char* const Carriers[] = {"mp4", "mov", "3gp", "3g2", "ipod", "psp", "ismv", "f4v"};
  for (const char* Name : Carriers)
    if (std::strcmp(AFormat->name, Name) == 0) return true;
  return false;
}

// The muxers that give every picture a time of its own. Others (AVI, the MPEG program streams,
// raw streams) show pictures at a fixed rate, one per tick of the stream's time base.
bool TimesEachPicture(const AVOutputFormat* AFormat) {
  static const char* const Timed[] = {"mp4", "mov", "3gp", "3g2",    "ipod", "psp",  "ismv",
                                      "f4v", "flv", "nut", "mpegts", "asf",  "webm", "matroska"};
  for (const char* Name : Timed)
    if (std::strcmp(AFormat->name, Name) == 0) return true;
  return false;
}

// The tags a meta-data map copies, in the names the containers use now.
constexpr const char* MetaDataKeys[] = {"title", "artist", "copyright", "comment",
                                        "album", "date",   "track",     "genre"};

} // namespace

void TCustomFFmpeg::Transcode() {
  TranscodeCleanup();
  Stats.PacketsRead = 0;
  BuildStreamTables();
  PrepareOutputStreams();
  LogStreamMapping();
  OpenCodecs();
  // After the encoders have opened: only then do the streams carry their parameters.
  for (int I = 0; I < Files.OutputFileCount; ++I) {
    AVFormatContext* Output = Files.OutputFiles[I].get();
    AVFormat().av_dump_format(Output, I, Output->url, 1);
  }

  for (auto& Input : Tables.InputStreams) {
    Input->Pts = 0;
    Input->NextPts = AV_NOPTS_VALUE;
    Input->IsStart = 1;
  }
  CopyMetaDataMaps();
  WriteHeaders();
  Stats.TimerStart = AVUtil().av_gettime();
  // Sources read at the pace they play start playing with the first read: the set-up (encoders
  // opened, headers written) must not let the first seconds through at once.
  for (auto& Input : Tables.InputStreams)
    if (Input->RateEmu) Input->RateEmuStart = Stats.TimerStart;

  RunMainLoop();
  FinishTranscode();
}

void TCustomFFmpeg::BuildStreamTables() {
  TTranscodeTables& T = Tables;
  T.Packet.reset(AVCodec().av_packet_alloc());
  T.OutputPacket.reset(AVCodec().av_packet_alloc());
  if (!T.Packet || !T.OutputPacket) throw FFMpegException("av_mallocz fail");

  // Input files and their streams.
  int StreamTotal = 0;
  T.FileTable.resize(Files.InputFileCount);
  for (int F = 0; F < Files.InputFileCount; ++F) {
    AVFormatContext* Input = Files.InputFiles[F].get();
    T.FileTable[F].FirstStreamIndex = StreamTotal;
    T.FileTable[F].StreamCount = static_cast<int32_t>(Input->nb_streams);
    StreamTotal += static_cast<int>(Input->nb_streams);
    for (unsigned K = 0; K < Input->nb_streams; ++K) {
      auto Stream = std::make_unique<TInputStream>();
      Stream->FileIndex = F;
      Stream->StreamIndex = static_cast<int32_t>(K);
      Stream->Stream = Input->streams[K];
      if (K < StreamCodecs.Inputs[F].size()) {
        TInputStreamCodec& Codec = StreamCodecs.Inputs[F][K];
        Stream->Decoder = Codec.Decoder.get();
        Stream->CodecTimeBase = Codec.CodecTimeBase;
        Stream->RateEmu = Codec.RateEmu;
        Stream->Turn = Codec.Turn;
      }
      if (Stream->RateEmu) {
        Stream->RateEmuStart = AVUtil().av_gettime();
        Stream->RateEmuFrames = 0;
      }
      Stream->Frame.reset(AVUtil().av_frame_alloc());
      if (!Stream->Frame) throw FFMpegException("av_mallocz fail");
      T.InputStreams.push_back(std::move(Stream));
    }
  }

  // Output stream count and the stream maps.
  int OutputTotal = 0;
  for (int I = 0; I < Files.OutputFileCount; ++I) {
    const unsigned Count = Files.OutputFiles[I]->nb_streams;
    if (Count == 0) throw FFMpegException("Output file does not contain any stream");
    OutputTotal += static_cast<int>(Count);
  }
  if (Files.StreamMapCount > 0 && Files.StreamMapCount != OutputTotal)
    throw FFMpegException("Number of stream maps must match number of output streams");
  const auto Exists = [this](int AFile, int AStream) {
    return AFile >= 0 && AFile < Files.InputFileCount && AStream >= 0 &&
           AStream < Tables.FileTable[AFile].StreamCount;
  };
  for (int M = 0; M < Files.StreamMapCount; ++M) {
    const TStreamMap& Map = Files.StreamMaps[M];
    if (!Exists(Map.FileIndex, Map.StreamIndex))
      throw FFMpegException(
          FormatText("Could not find input stream #%d.%d", Map.FileIndex, Map.StreamIndex));
    if (!Exists(Map.SyncFileIndex, Map.SyncStreamIndex))
      throw FFMpegException(
          FormatText("Could not find sync stream #%d.%d", Map.SyncFileIndex, Map.SyncStreamIndex));
  }

  // Output streams and their sources.
  for (int I = 0; I < Files.OutputFileCount; ++I) {
    AVFormatContext* Output = Files.OutputFiles[I].get();
    for (unsigned K = 0; K < Output->nb_streams; ++K) {
      auto Stream = std::make_unique<TOutputStream>();
      Stream->FileIndex = I;
      Stream->StreamIndex = static_cast<int32_t>(K);
      Stream->Stream = Output->streams[K];
      if (K < StreamCodecs.Outputs[I].size())
        Stream->Encoder = StreamCodecs.Outputs[I][K].Encoder.get();
      ChooseSource(*Stream, static_cast<int>(T.OutputStreams.size()));
      T.OutputStreams.push_back(std::move(Stream));
    }
  }
}

void TCustomFFmpeg::ChooseSource(TOutputStream& AOutput, int ANumber) {
  TTranscodeTables& T = Tables;
  const AVMediaType Kind = KindOf(AOutput.Stream);
  AVFormatContext* Output = Files.OutputFiles[AOutput.FileIndex].get();
  const auto NoSource = [&] {
    AVFormat().av_dump_format(Output, AOutput.FileIndex, Output->url, 1);
    throw FFMpegException(FormatText("Could not find input stream matching output stream #%d.%d",
                                     AOutput.FileIndex, AOutput.StreamIndex));
  };

  if (Files.StreamMapCount > 0) {
    const TStreamMap& Map = Files.StreamMaps[ANumber];
    AOutput.SourceIndex = T.FileTable[Map.FileIndex].FirstStreamIndex + Map.StreamIndex;
    if (KindOf(T.InputStreams[AOutput.SourceIndex]->Stream) != Kind) {
      AVFormat().av_dump_format(Output, AOutput.FileIndex, Output->url, 1);
      throw FFMpegException(FormatText("Codec type mismatch for mapping #%d.%d -> #%d.%d",
                                       Map.FileIndex, Map.StreamIndex, AOutput.FileIndex,
                                       AOutput.StreamIndex));
    }
    AOutput.SyncStream =
        T.InputStreams[T.FileTable[Map.SyncFileIndex].FirstStreamIndex + Map.SyncStreamIndex].get();
  } else if (IsCoverPicture(AOutput)) {
    // The output's copy of a cover picture: the picture it was made for.
    const TOutputStreamCodec& Codec = StreamCodecs.Outputs[AOutput.FileIndex][AOutput.StreamIndex];
    AOutput.SourceIndex = T.FileTable[Codec.CoverFile].FirstStreamIndex + Codec.CoverStream;
    AOutput.SyncStream = T.InputStreams[AOutput.SourceIndex].get();
  } else {
    int Found = -1;
    if (Options.ProgramId != 0) {
      for (int F = 0; F < Files.InputFileCount && Found < 0; ++F) {
        const AVFormatContext* Input = Files.InputFiles[F].get();
        for (unsigned P = 0; P < Input->nb_programs && Found < 0; ++P) {
          const AVProgram* Program = Input->programs[P];
          if (Program->id != Options.ProgramId) continue;
          for (unsigned S = 0; S < Program->nb_stream_indexes && Found < 0; ++S) {
            const int Index =
                T.FileTable[F].FirstStreamIndex + static_cast<int>(Program->stream_index[S]);
            const TInputStream& Candidate = *T.InputStreams[Index];
            if (Candidate.Discard && Feeds(Candidate.Stream, Kind)) Found = Index;
          }
        }
      }
    } else {
      for (size_t J = 0; J < T.InputStreams.size() && Found < 0; ++J)
        if (T.InputStreams[J]->Discard && Feeds(T.InputStreams[J]->Stream, Kind))
          Found = static_cast<int>(J);
      // No free one: the last stream of the kind feeds this output as well.
      if (Found < 0)
        for (size_t J = 0; J < T.InputStreams.size(); ++J)
          if (Feeds(T.InputStreams[J]->Stream, Kind)) Found = static_cast<int>(J);
    }
    if (Found < 0) NoSource();
    AOutput.SourceIndex = Found;
    AOutput.SyncStream = T.InputStreams[Found].get();
  }
  T.InputStreams[AOutput.SourceIndex]->Discard = 0;
}

bool TCustomFFmpeg::IsCoverPicture(const TOutputStream& AOutput) const {
  const std::vector<TOutputStreamCodec>& Codecs = StreamCodecs.Outputs[AOutput.FileIndex];
  return static_cast<size_t>(AOutput.StreamIndex) < Codecs.size() &&
         Codecs[AOutput.StreamIndex].CoverFile >= 0;
}

void TCustomFFmpeg::PrepareOutputStreams() {
  TTranscodeTables& T = Tables;
  for (size_t N = 0; N < T.OutputStreams.size(); ++N) {
    TOutputStream& Output = *T.OutputStreams[N];
    TInputStream& Source = *T.InputStreams[Output.SourceIndex];
    if (!Output.Encoder) throw FFMpegException("invalid codec_type of output stream");

    // Language and disposition.
    if (!AVUtil().av_dict_get(Output.Stream->metadata, "language", nullptr, 0)) {
      if (const AVDictionaryEntry* Language =
              AVUtil().av_dict_get(Source.Stream->metadata, "language", nullptr, 0))
        AVUtil().av_dict_set(&Output.Stream->metadata, "language",
                             std::string(Language->value).substr(0, 3).c_str(), 0);
    }
    Output.Stream->disposition = Source.Stream->disposition;

    if (StreamCodecs.Outputs[Output.FileIndex][Output.StreamIndex].StreamCopy)
      PrepareStreamCopy(Output, Source);
    else
      PrepareEncoding(Output, Source);

    if (Output.EncodingNeeded &&
        (Output.Encoder->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)))
      OpenPassLogFile(Output, static_cast<int>(N));

    if (KindOf(Output.Stream) == AVMEDIA_TYPE_VIDEO) {
      const int64_t Needed = 4LL * Output.Encoder->width * Output.Encoder->height;
      if (Needed > Stats.BitBufferSize)
        Stats.BitBufferSize = static_cast<int32_t>(std::min<int64_t>(Needed, INT32_MAX));
    }
  }
}

void TCustomFFmpeg::PrepareStreamCopy(TOutputStream& AOutput, TInputStream& ASource) {
  AVCodecParameters* Out = AOutput.Stream->codecpar;
  const AVCodecParameters* In = ASource.Stream->codecpar;
  const uint32_t ForcedTag = AOutput.Encoder->codec_tag;
  // The copy takes the source's parameters whole; the extradata is duplicated, as each side
  // frees its own.
  if (AVCodec().avcodec_parameters_copy(Out, In) < 0) throw FFMpegException("av_mallocz fail");
  Out->codec_tag = ForcedTag;
  if (ForcedTag == 0) {
    // The source's tag is kept where the muxer knows it for this very codec (a tag the muxer
    // maps to another codec would make the header fail), or where the muxer has no tag of its
    // own for the codec.
    const AVCodecTag* const* Tags = Files.OutputFiles[AOutput.FileIndex]->oformat->codec_tag;
    if (!Tags || AVFormat().av_codec_get_id(Tags, In->codec_tag) == In->codec_id ||
        AVFormat().av_codec_get_tag(Tags, In->codec_id) == 0)
      Out->codec_tag = In->codec_tag;
  }
  AVRational CodecTimeBase = ASource.CodecTimeBase;
  const AVRational StreamTimeBase = ASource.Stream->time_base;
  // Some codecs count fields in their time base (H.264: 1/50 at 25 pictures per second). A copy
  // in such a time base would run at the field rate, and a container of fixed rate (AVI) then
  // fills every other tick with an empty frame: it takes one tick per picture instead.
  const AVRational Rate = PictureRateOf(ASource.Stream);
  if (In->codec_type == AVMEDIA_TYPE_VIDEO && Rate.num > 0 && Rate.den > 0 &&
      CodecTimeBase.num > 0 && CodecTimeBase.den > 0) {
    const double TicksPerPicture = 1.0 / (av_q2d(CodecTimeBase) * av_q2d(Rate));
    const int64_t Ticks = std::llround(TicksPerPicture);
    if (Ticks >= 2 && std::fabs(TicksPerPicture - static_cast<double>(Ticks)) < 0.01) {
      const int64_t Num = static_cast<int64_t>(CodecTimeBase.num) * Ticks;
      const int64_t Common = std::gcd(Num, static_cast<int64_t>(CodecTimeBase.den));
      CodecTimeBase =
          AVRational{static_cast<int>(Num / Common), static_cast<int>(CodecTimeBase.den / Common)};
    }
  }
  // A codec time base some demuxers leave unset (1/0 for MP3 and FLAC) is no time base: raw
  // audio muxers keep the one they are given, and a copy in 1/0 would end after one packet.
  const bool CodecTimeBaseValid = CodecTimeBase.num > 0 && CodecTimeBase.den > 0;
  AVRational TimeBase = CodecTimeBaseValid && av_q2d(CodecTimeBase) > av_q2d(StreamTimeBase) &&
                                av_q2d(StreamTimeBase) < 0.001
                            ? CodecTimeBase
                            : StreamTimeBase;
  // In a container of fixed rate the time base is the picture rate: a tick of milliseconds
  // (ASF) or a granule rate (Theora) would give a thousand pictures a second, nearly all empty.
  // The stream's real or average rate is taken instead.
  if (In->codec_type == AVMEDIA_TYPE_VIDEO &&
      !TimesEachPicture(Files.OutputFiles[AOutput.FileIndex]->oformat)) {
    AOutput.OneTickPerPicture = true;
    if (Rate.num > 0 && Rate.den > 0 && av_q2d(TimeBase) * av_q2d(Rate) < 0.5)
      TimeBase = AVRational{Rate.den, Rate.num};
  }
  AOutput.Stream->time_base = TimeBase;

  switch (In->codec_type) {
  case AVMEDIA_TYPE_AUDIO:
    if (Settings.AudioVolume != 256)
      throw FFMpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
    if ((Out->block_align == 1 && Out->codec_id == AV_CODEC_ID_MP3) ||
        Out->codec_id == AV_CODEC_ID_AC3)
      Out->block_align = 0;
    // AMR frames have a fixed length that demuxers do not report; the MP4 family of muxers
    // needs it for their sample tables.
    if (Out->frame_size == 0 && Out->codec_id == AV_CODEC_ID_AMR_NB) Out->frame_size = 160;
    if (Out->frame_size == 0 && Out->codec_id == AV_CODEC_ID_AMR_WB) Out->frame_size = 320;
    break;
  case AVMEDIA_TYPE_VIDEO:
    // A cover picture is never decoded for the hooks: they work on the pictures that play.
    if (Callbacks.CustomHookCallback && !IsCoverPicture(AOutput))
      throw FFMpegException(
          "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
    if (Settings.UsingVhook && !IsCoverPicture(AOutput))
      throw FFMpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
    if (StreamCodecs.Outputs[AOutput.FileIndex][AOutput.StreamIndex].InheritAspect ||
        AOutput.Stream->sample_aspect_ratio.num == 0)
      AOutput.Stream->sample_aspect_ratio = ASource.Stream->sample_aspect_ratio.num != 0
                                                ? ASource.Stream->sample_aspect_ratio
                                                : In->sample_aspect_ratio;
    // Muxers refuse a stream whose aspect differs from its parameters'; the stream's (the
    // container's, or the one asked for) is what the copy shows.
    if (AOutput.Stream->sample_aspect_ratio.num != 0)
      Out->sample_aspect_ratio = AOutput.Stream->sample_aspect_ratio;
    KeepDisplayMatrix(AOutput, ASource);
    break;
  case AVMEDIA_TYPE_SUBTITLE:
    break;
  default:
    throw FFMpegException("invalid codec_type of output stream");
  }
  // The encoder context mirrors the copied parameters for whoever reads it (the report).
  AVCodec().avcodec_parameters_to_context(AOutput.Encoder, Out);
  AOutput.Encoder->time_base = TimeBase;
}

// A container that times every picture keeps the source's timing: a variable-rate source
// keeps each picture at its own time. The encoder then counts in the source stream's time
// base (MPEG-4 Visual takes denominators up to 65535; a finer one becomes 1/60000) and keeps
// the picture rate as its rate. Only for a rate taken from the source, automatic "vsync" and
// an encoder that takes any time base (MPEG-1/2 list their rates).
// The libraries' own encoders (MPEG-4 Visual among them) take the time base times
// ticks_per_frame for one picture in their rate control: the ticks of one picture at the
// picture rate go there, or a 25 fps clip counted in 1/12800 would count as 12800 pictures a
// second and be starved to a twelfth of its bit rate, or of its cap at a fixed quantiser.
void TCustomFFmpeg::KeepPictureTimes(TOutputStream& AOutput, const TInputStream& ASource,
                                     bool AInheritedRate, const ::AVCodec* AEncoder) {
  const AVRational Tick = ASource.Stream->time_base;
  if (!AInheritedRate || Settings.VideoSyncMethod >= 0 || !AEncoder ||
      AEncoder->supported_framerates || Tick.num <= 0 || Tick.den <= 0 ||
      !TimesEachPicture(Files.OutputFiles[AOutput.FileIndex]->oformat))
    return;
  AOutput.KeepsPictureTimes = true;
  AVCodecContext* C = AOutput.Encoder;
  C->time_base = Tick.den <= 65535 ? Tick : AVRational{1, 60000};
  if (C->framerate.num > 0 && C->framerate.den > 0) {
    const double Ticks = 1.0 / (av_q2d(C->time_base) * av_q2d(C->framerate));
    C->ticks_per_frame = static_cast<int>(std::clamp(std::lround(Ticks), 1L, 65535L));
  }
}

// Copied pictures are the stored ones: the stream keeps the source's display matrix so that
// they play turned as before. Of the installed muxers only the MP4 family writes it.
void TCustomFFmpeg::KeepDisplayMatrix(TOutputStream& AOutput, const TInputStream& ASource) {
  if (ASource.Turn.IsNone()) return;
  size_t Size = 0;
  const uint8_t* Matrix =
      AVFormat().av_stream_get_side_data(ASource.Stream, AV_PKT_DATA_DISPLAYMATRIX, &Size);
  if (!Matrix) return;
  uint8_t* Kept =
      AVFormat().av_stream_new_side_data(AOutput.Stream, AV_PKT_DATA_DISPLAYMATRIX, Size);
  if (!Kept) throw FFMpegException("av_malloc failed");
  std::memcpy(Kept, Matrix, Size);
  const AVOutputFormat* Format = Files.OutputFiles[AOutput.FileIndex]->oformat;
  if (!CarriesDisplayMatrix(Format))
    Log(0, FormatText("Output stream #%d.%d: the %s muxer keeps no display matrix: the copied "
                      "pictures play as stored, unturned",
                      AOutput.FileIndex, AOutput.StreamIndex, Format->name));
}

void TCustomFFmpeg::InheritSourceProperties(TOutputStream& AOutput, TInputStream& ASource) {
  const TOutputStreamCodec& Codec = StreamCodecs.Outputs[AOutput.FileIndex][AOutput.StreamIndex];
  AVCodecContext* C = AOutput.Encoder;
  const ::AVCodec* Encoder = C->codec ? C->codec : AVCodec().avcodec_find_encoder(C->codec_id);
  const TStreamProperties Source = PropertiesOf(ASource.Stream, ASource.Decoder);
  if (C->codec_type == AVMEDIA_TYPE_AUDIO) {
    if (Codec.InheritChannels && Source.Channels > 0 &&
        Source.Channels != C->ch_layout.nb_channels) {
      AVUtil().av_channel_layout_uninit(&C->ch_layout);
      AVUtil().av_channel_layout_default(&C->ch_layout, Source.Channels);
    }
    if (Codec.InheritSampleRate && Source.SampleRate > 0) {
      C->sample_rate = Source.SampleRate;
      C->time_base = AVRational{1, Source.SampleRate};
    }
    if (Codec.InheritSampleFmt && Source.SampleFmt >= 0) {
      C->sample_fmt = static_cast<AVSampleFormat>(Source.SampleFmt);
      bool Listed = !Encoder || !Encoder->sample_fmts;
      for (const AVSampleFormat* F = Listed ? nullptr : Encoder->sample_fmts;
           F && *F != AV_SAMPLE_FMT_NONE; ++F)
        Listed = Listed || *F == Source.SampleFmt;
      if (!Listed) C->sample_fmt = Encoder->sample_fmts[0];
    }
    FitAudioToEncoder(AOutput, Codec.InheritChannels, Codec.InheritSampleRate);
    return;
  }
  if (C->codec_type != AVMEDIA_TYPE_VIDEO) return;
  if (Codec.InheritSize && Source.Width > 0 && Source.Height > 0) {
    C->width = Source.Width;
    C->height = Source.Height;
  }
  if (Codec.InheritAspect && C->width * C->height != 0) {
    C->sample_aspect_ratio =
        AVUtil().av_d2q(static_cast<double>(Source.AspectRatio) * C->height / C->width, 255);
    AOutput.Stream->sample_aspect_ratio = C->sample_aspect_ratio;
  }
  if (Codec.InheritRate && Source.FrameRate.num > 0 && Source.FrameRate.den > 0)
    SetEncoderFrameRate(C, Encoder, Source.FrameRate);
  KeepPictureTimes(AOutput, ASource, Codec.InheritRate, Encoder);
  if (Codec.InheritPixFmt && Source.PixFmt >= 0) {
    bool Listed = !Encoder || !Encoder->pix_fmts;
    for (const AVPixelFormat* F = Listed ? nullptr : Encoder->pix_fmts; F && *F != AV_PIX_FMT_NONE;
         ++F)
      Listed = Listed || *F == Source.PixFmt;
    C->pix_fmt = Listed ? static_cast<AVPixelFormat>(Source.PixFmt) : Encoder->pix_fmts[0];
  }
}

namespace {

// The layouts and rates an audio encoder lists, as text ("mono, stereo"; "44100, 48000").
std::string ListedLayouts(const ::AVCodec* AEncoder) {
  std::string Text;
  for (const AVChannelLayout* L = AEncoder->ch_layouts; L && L->nb_channels != 0; ++L) {
    char Name[64] = {};
    AVUtil().av_channel_layout_describe(L, Name, sizeof Name);
    Text += (Text.empty() ? "" : ", ") + std::string(Name);
  }
  return Text;
}

std::string ListedRates(const ::AVCodec* AEncoder) {
  std::string Text;
  for (const int* R = AEncoder->supported_samplerates; R && *R != 0; ++R)
    Text += (Text.empty() ? "" : ", ") + std::to_string(*R);
  return Text;
}

bool ListsLayout(const ::AVCodec* AEncoder, const AVChannelLayout& ALayout) {
  if (!AEncoder->ch_layouts) return true;
  for (const AVChannelLayout* L = AEncoder->ch_layouts; L->nb_channels != 0; ++L)
    if (AVUtil().av_channel_layout_compare(L, &ALayout) == 0) return true;
  return false;
}

bool ListsRate(const ::AVCodec* AEncoder, int ARate) {
  if (!AEncoder->supported_samplerates) return true;
  for (const int* R = AEncoder->supported_samplerates; *R != 0; ++R)
    if (*R == ARate) return true;
  return false;
}

} // namespace

// A source's channel layout or rate that the encoder does not take becomes the nearest one it
// does: the layout of as many channels (else the widest below, else the first listed), the
// closest rate. Only for values that came from the source: what the user asked for stays.
void TCustomFFmpeg::FitAudioToEncoder(TOutputStream& AOutput, bool AChannels, bool ASampleRate) {
  AVCodecContext* C = AOutput.Encoder;
  const ::AVCodec* Encoder = C->codec ? C->codec : AVCodec().avcodec_find_encoder(C->codec_id);
  if (!Encoder) return;
  if (AChannels && !ListsLayout(Encoder, C->ch_layout)) {
    const int Wanted = C->ch_layout.nb_channels;
    const AVChannelLayout* Same = nullptr;
    const AVChannelLayout* Below = nullptr;
    for (const AVChannelLayout* L = Encoder->ch_layouts; L->nb_channels != 0; ++L) {
      if (L->nb_channels == Wanted && !Same) Same = L;
      if (L->nb_channels < Wanted && (!Below || L->nb_channels > Below->nb_channels)) Below = L;
    }
    const AVChannelLayout* Best = Same ? Same : Below ? Below : Encoder->ch_layouts;
    if (Best) {
      AVUtil().av_channel_layout_uninit(&C->ch_layout);
      AVUtil().av_channel_layout_copy(&C->ch_layout, Best);
    }
  }
  if (ASampleRate && !ListsRate(Encoder, C->sample_rate)) {
    int Best = Encoder->supported_samplerates[0];
    for (const int* R = Encoder->supported_samplerates; *R != 0; ++R)
      if (std::abs(*R - C->sample_rate) < std::abs(Best - C->sample_rate)) Best = *R;
    C->sample_rate = Best;
    C->time_base = AVRational{1, Best};
  }
}

// Which asked-for channel layout or rate an audio encoder does not take, and what it takes;
// empty when it takes both. Read before the open: a failed open clears the layout.
std::vector<std::string> TCustomFFmpeg::AudioRefusals(const TOutputStream& AOutput) const {
  std::vector<std::string> Reasons;
  const AVCodecContext* C = AOutput.Encoder;
  const ::AVCodec* Encoder = C->codec ? C->codec : AVCodec().avcodec_find_encoder(C->codec_id);
  if (!Encoder || C->codec_type != AVMEDIA_TYPE_AUDIO) return Reasons;
  if (!ListsLayout(Encoder, C->ch_layout)) {
    char Name[64] = {};
    AVUtil().av_channel_layout_describe(&C->ch_layout, Name, sizeof Name);
    Reasons.push_back(
        FormatText("Output stream #%d.%d: %d channels (%s) asked for; encoder %s takes %s",
                   AOutput.FileIndex, AOutput.StreamIndex, C->ch_layout.nb_channels, Name,
                   Encoder->name, ListedLayouts(Encoder).c_str()));
  }
  if (!ListsRate(Encoder, C->sample_rate))
    Reasons.push_back(FormatText("Output stream #%d.%d: %d Hz asked for; encoder %s takes %s Hz",
                                 AOutput.FileIndex, AOutput.StreamIndex, C->sample_rate,
                                 Encoder->name, ListedRates(Encoder).c_str()));
  return Reasons;
}

void TCustomFFmpeg::PrepareEncoding(TOutputStream& AOutput, TInputStream& ASource) {
  AVCodecContext* Encoder = AOutput.Encoder;
  const AVCodecContext* Decoder = ASource.Decoder;
  if (!Decoder) throw FFMpegException("invalid codec_type of output stream");
  InheritSourceProperties(AOutput, ASource);
  switch (Encoder->codec_type) {
  case AVMEDIA_TYPE_AUDIO:
    AOutput.Audio = NewAudioStage(AOutput, Encoder->sample_rate != Decoder->sample_rate ||
                                               Settings.AudioSyncMethod > 1);
    break;
  case AVMEDIA_TYPE_VIDEO:
    PrepareVideoEncoding(AOutput, ASource);
    break;
  case AVMEDIA_TYPE_SUBTITLE:
    break;
  default:
    throw FFMpegException("invalid codec_type of output stream");
  }
  AOutput.EncodingNeeded = 1;
  ASource.DecodingNeeded = 1;
}

void TCustomFFmpeg::PrepareVideoEncoding(TOutputStream& AOutput, TInputStream& ASource) {
  AVCodecContext* Encoder = AOutput.Encoder;
  // The pictures as they play: the decoder's, turned as the source's display matrix says.
  const TVideoFilterInput Source = SourcePictureOf(ASource);
  const TOptionState& O = Options;
  // A stream whose pictures were never seen (a file cut after its header, a stripped track)
  // has no pixel format or size; the scaler, the filter graph and the encoder must not be
  // made from it (the scaler asserts on an unknown format).
  if (Source.Format < 0 || !AVUtil().av_pix_fmt_desc_get(Source.Format) || Source.Width <= 0 ||
      Source.Height <= 0)
    throw FFMpegException(FormatText(
        "Input stream #%d.%d has no known picture format or size: it cannot be converted",
        ASource.FileIndex, ASource.StreamIndex));
  if (Encoder->pix_fmt < 0 || !AVUtil().av_pix_fmt_desc_get(Encoder->pix_fmt) ||
      Encoder->width <= 0 || Encoder->height <= 0)
    throw FFMpegException(
        FormatText("Output stream #%d.%d has no known picture format or size: it cannot be encoded",
                   AOutput.FileIndex, AOutput.StreamIndex));
  // A damaged rate (one picture in days) reaches the encoder as a huge time-base numerator,
  // on which libxvid divides by zero; no real stream shows a picture less than every 1000 s.
  const AVRational Tick = Encoder->time_base;
  if (Tick.num <= 0 || Tick.den <= 0 || Tick.num / Tick.den >= 1000)
    throw FFMpegException(
        FormatText("Output stream #%d.%d has no usable frame rate (%d/%d): it cannot be encoded",
                   AOutput.FileIndex, AOutput.StreamIndex, Tick.den, Tick.num));
  AOutput.VideoCrop = O.FrameTopBand + O.FrameBottomBand + O.FrameLeftBand + O.FrameRightBand != 0;
  AOutput.VideoPad = O.FramePadTop + O.FramePadBottom + O.FramePadLeft + O.FramePadRight != 0;
  AOutput.VideoResample =
      Source.Width - O.FrameLeftBand - O.FrameRightBand + O.FramePadLeft + O.FramePadRight !=
          Encoder->width ||
      Source.Height - O.FrameTopBand - O.FrameBottomBand + O.FramePadTop + O.FramePadBottom !=
          Encoder->height ||
      Source.Format != Encoder->pix_fmt;
  if (AOutput.VideoCrop) {
    AOutput.CropTop = O.FrameTopBand;
    AOutput.CropLeft = O.FrameLeftBand;
  }
  if (AOutput.VideoPad) {
    AOutput.PadTop = O.FramePadTop;
    AOutput.PadBottom = O.FramePadBottom;
    AOutput.PadLeft = O.FramePadLeft;
    AOutput.PadRight = O.FramePadRight;
  }
  if (AOutput.VideoPad || AOutput.VideoResample) {
    AOutput.TempPicture = NewPicture(Encoder->pix_fmt, Encoder->width, Encoder->height);
    if (!AOutput.TempPicture)
      throw FFMpegException(AOutput.VideoResample ? "Cannot allocate temp picture, check pix fmt"
                                                  : "avpicture_alloc fail");
  }
  if (AOutput.VideoResample) {
    int64_t Flags = Settings.SwsFlags;
    AVUtil().av_opt_get_int(LibOptions.ScaleOptions.get(), "sws_flags", 0, &Flags);
    Settings.SwsFlags = static_cast<int32_t>(Flags);
    AOutput.ScaleContext.reset(
        SwScale().sws_getContext(Source.Width - O.FrameLeftBand - O.FrameRightBand,
                                 Source.Height - O.FrameTopBand - O.FrameBottomBand, Source.Format,
                                 Encoder->width - O.FramePadLeft - O.FramePadRight,
                                 Encoder->height - O.FramePadTop - O.FramePadBottom,
                                 Encoder->pix_fmt, Settings.SwsFlags, nullptr, nullptr, nullptr));
    if (!AOutput.ScaleContext) throw FFMpegException("Cannot get resampling context");
    AOutput.SourceHeight = Settings.UsingVideoFilters
                               ? Source.Height
                               : Source.Height - O.FrameTopBand - O.FrameBottomBand;
  }
  AOutput.SentPts.reserve(SentPicturesKept);
  AOutput.EncodingNeeded = 1;
  ASource.DecodingNeeded = 1;
  PrepareSourcePictures(ASource);
  Run.LastErrorText.clear();
  if (Settings.UsingVideoFilters && BuildVideoFilters(ASource, AOutput) != 0)
    throw FFMpegException(Run.LastErrorText.empty()
                              ? std::string("Error opening filters!")
                              : "Error opening filters: " + Run.LastErrorText);
}

TFramePtr TCustomFFmpeg::NewPicture(AVPixelFormat AFormat, int AWidth, int AHeight) {
  TFramePtr Picture(AVUtil().av_frame_alloc());
  if (!Picture || AFormat < 0 || AWidth <= 0 || AHeight <= 0) return nullptr;
  Picture->format = AFormat;
  Picture->width = AWidth;
  Picture->height = AHeight;
  if (AVUtil().av_frame_get_buffer(Picture.get(), 0) < 0) return nullptr;
  return Picture;
}

void TCustomFFmpeg::OpenPassLogFile(TOutputStream& AOutput, int ANumber) {
  std::string Name =
      (Settings.PassLogFileName.empty() ? std::string("ffmpeg2pass") : Settings.PassLogFileName) +
      "-" + std::to_string(ANumber) + ".log";
  if (Name.size() >= 1024) Name.resize(1023);
  if (AOutput.Encoder->flags & AV_CODEC_FLAG_PASS1) {
    AOutput.LogFile.reset(MyUtil().my_fopen(Name.c_str(), "w"));
    if (!AOutput.LogFile) throw FFMpegException("creat file fail: " + Name);
    return;
  }
  TCFilePtr File(MyUtil().my_fopen(Name.c_str(), "r"));
  if (!File) throw FFMpegException("creat open fail: " + Name);
  MyUtil().my_fseek(File.get(), 0, SEEK_END);
  const long Size = std::max(MyUtil().my_ftell(File.get()), 0L);
  MyUtil().my_fseek(File.get(), 0, SEEK_SET);
  // The library never frees the statistics text: it is owned beside the encoder, so it goes
  // whether the encoder opens or not.
  TAvString Buffer(static_cast<char*>(AVUtil().av_malloc(static_cast<size_t>(Size) + 1)));
  if (!Buffer) throw FFMpegException("Could not allocate log buffer");
  const size_t Read = MyUtil().my_fread(Buffer.get(), 1, static_cast<size_t>(Size), File.get());
  Buffer.get()[Read] = '\0';
  TOutputStreamCodec& Codec = StreamCodecs.Outputs[AOutput.FileIndex][AOutput.StreamIndex];
  AOutput.Encoder->stats_in = Buffer.get();
  Codec.StatsIn = std::move(Buffer);
}

void TCustomFFmpeg::LogStreamMapping() {
  if (Settings.Verbose < 0 || !Callbacks.LogCallback) return;
  Log(1, "Stream mapping:");
  for (const auto& Output : Tables.OutputStreams) {
    const TInputStream& Source = *Tables.InputStreams[Output->SourceIndex];
    Log(1, FormatText("  Stream #%d.%d -> #%d.%d", Source.FileIndex, Source.StreamIndex,
                      Output->FileIndex, Output->StreamIndex));
    if (Output->SyncStream != &Source)
      Log(1, FormatText(" [sync #%d.%d]", Output->SyncStream->FileIndex,
                        Output->SyncStream->StreamIndex));
  }
}

void TCustomFFmpeg::UseCodecThreads(AVCodecContext* AContext) const {
  // One thread leaves the context as the options made it.
  if (Settings.CodecThreads <= 1) return;
  AContext->thread_count = Settings.CodecThreads;
  AContext->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
}

bool TCustomFFmpeg::EncodesInChunks() const {
  return std::any_of(Tables.OutputStreams.begin(), Tables.OutputStreams.end(),
                     [](const auto& AOutput) { return AOutput->Chunked != nullptr; });
}

std::vector<TCodecContextPtr>
TCustomFFmpeg::ChunkEncodersFor(const ::AVCodec& ACodec, const AVCodecContext& AEncoder) const {
  std::vector<TCodecContextPtr> Copies;
  const int Count = TChunkedVideoEncoder::EncodersFor(ACodec, AEncoder, Settings.CodecThreads);
  for (int I = 1; I < Count; ++I) {
    TCodecContextPtr Copy = TChunkedVideoEncoder::CopySettings(ACodec, AEncoder);
    if (!Copy) return {};
    Copies.push_back(std::move(Copy));
  }
  return Copies;
}

void TCustomFFmpeg::OpenDecoder(TInputStream& AInput) {
  AVCodecContext* Decoder = AInput.Decoder;
  if (!Decoder || AInput.DecoderOpen) return;
  const ::AVCodec* Codec = AVCodec().avcodec_find_decoder(Decoder->codec_id);
  if (!Codec)
    throw FFMpegException(FormatText("Unsupported codec (id=%d) for input stream #%d.%d",
                                     static_cast<int>(Decoder->codec_id), AInput.FileIndex,
                                     AInput.StreamIndex));
  Decoder->pkt_timebase = AInput.Stream->time_base;
  // These decoders take one frame a packet; the rest of a packet of several would be lost.
  if (Decoder->codec_id == AV_CODEC_ID_AMR_NB || Decoder->codec_id == AV_CODEC_ID_AMR_WB) {
    AInput.Parser.reset(AVCodec().av_parser_init(Decoder->codec_id));
    AInput.FramePacket.reset(AVCodec().av_packet_alloc());
    if (!AInput.Parser || !AInput.FramePacket) throw FFMpegException("av_malloc failed");
  }
  // Chunk encoders take every core by themselves (encoding is most of the work); threads of
  // the decoder would only hold more pictures and add to the delay.
  if (!EncodesInChunks()) UseCodecThreads(Decoder);
  std::scoped_lock Guard(CodecLock());
  if (AVCodec().avcodec_open2(Decoder, Codec, nullptr) < 0)
    throw FFMpegException(FormatText("Error while opening codec for input stream #%d.%d",
                                     AInput.FileIndex, AInput.StreamIndex));
  AInput.DecoderOpen = true;
  Stats.OpenDecoderList.insert(Stats.OpenDecoderList.begin(), Decoder);
}

void TCustomFFmpeg::OpenEncoder(TOutputStream& AOutput) {
  AVCodecContext* Encoder = AOutput.Encoder;
  const ::AVCodec* Codec =
      Encoder->codec ? Encoder->codec : AVCodec().avcodec_find_encoder(Encoder->codec_id);
  if (!Codec)
    throw FFMpegException(FormatText("Unsupported codec for output stream #%d.%d",
                                     AOutput.FileIndex, AOutput.StreamIndex));
  TInputStream& Source = *Tables.InputStreams[AOutput.SourceIndex];
  if (Encoder->codec_type == AVMEDIA_TYPE_SUBTITLE) {
    // Text subtitle encoders open only with the header their source decoder makes.
    OpenDecoder(Source);
    const AVCodecContext* Decoder = Source.Decoder;
    if (Decoder && Decoder->subtitle_header && !Encoder->subtitle_header) {
      Encoder->subtitle_header = static_cast<uint8_t*>(
          AVUtil().av_memdup(Decoder->subtitle_header, Decoder->subtitle_header_size + 1));
      Encoder->subtitle_header_size = Decoder->subtitle_header_size;
    }
    if (Encoder->time_base.num == 0) Encoder->time_base = AVRational{1, 1000};
  }
  UseCodecThreads(Encoder);
  const std::vector<std::string> Refusals = AudioRefusals(AOutput);
  std::vector<TCodecContextPtr> ChunkEncoders = ChunkEncodersFor(*Codec, *Encoder);
  int Opened = 0;
  {
    std::scoped_lock Guard(CodecLock());
    Opened = AVCodec().avcodec_open2(Encoder, Codec, nullptr);
    if (Opened >= 0) Stats.OpenEncoderList.insert(Stats.OpenEncoderList.begin(), Encoder);
    // A copy that does not open leaves the stream to its own encoder.
    for (TCodecContextPtr& Copy : ChunkEncoders)
      if (Opened < 0 || AVCodec().avcodec_open2(Copy.get(), Codec, nullptr) < 0) {
        ChunkEncoders.clear();
        break;
      }
  }
  if (Opened < 0) {
    for (const std::string& Reason : Refusals) Log(0, Reason);
    throw FFMpegException(FormatText(
        "Error while opening codec for output stream #%d.%d - maybe incorrect parameters such "
        "as bit_rate, rate, width or height",
        AOutput.FileIndex, AOutput.StreamIndex));
  }
  if (!ChunkEncoders.empty())
    AOutput.Chunked = std::make_unique<TChunkedVideoEncoder>(Encoder, std::move(ChunkEncoders));
  Stats.ExtraSize += Encoder->extradata_size;
  // The stream takes the opened encoder's parameters; its time base is a hint the muxer may
  // replace when the header is written.
  AVCodec().avcodec_parameters_from_context(AOutput.Stream->codecpar, Encoder);
  AOutput.Stream->time_base = Encoder->time_base;
  // The encoder's buffer model ("bufsize", "maxrate") reaches muxers only as stream side data:
  // the MPEG program-stream muxers size the system header's buffers from it.
  for (int I = 0; I < Encoder->nb_coded_side_data; ++I) {
    const AVPacketSideData& Side = Encoder->coded_side_data[I];
    if (Side.type != AV_PKT_DATA_CPB_PROPERTIES) continue;
    uint8_t* Data = AVFormat().av_stream_new_side_data(AOutput.Stream, Side.type, Side.size);
    if (!Data) throw FFMpegException("av_malloc failed");
    std::memcpy(Data, Side.data, Side.size);
  }
}

void TCustomFFmpeg::OpenCodecs() {
  for (auto& Output : Tables.OutputStreams)
    if (Output->EncodingNeeded) OpenEncoder(*Output);
  for (auto& Input : Tables.InputStreams)
    if (Input->DecodingNeeded) OpenDecoder(*Input);
}

void TCustomFFmpeg::CopyMetaDataMaps() {
  for (int M = 0; M < Files.MetaDataMapCount; ++M) {
    const TMetaDataMap& Map = Files.MetaDataMaps[M];
    if (Map.OutFile < 0 || Map.OutFile >= Files.OutputFileCount)
      throw FFMpegException(FormatText("Invalid output file index %d map_meta_data(%d,%d)",
                                       Map.OutFile, Map.OutFile, Map.InFile));
    if (Map.InFile < 0 || Map.InFile >= Files.InputFileCount)
      throw FFMpegException(FormatText("Invalid input file index %d map_meta_data(%d,%d)",
                                       Map.InFile, Map.OutFile, Map.InFile));
    AVFormatContext* Output = Files.OutputFiles[Map.OutFile].get();
    const AVFormatContext* Input = Files.InputFiles[Map.InFile].get();
    for (const char* Key : MetaDataKeys) {
      const AVDictionaryEntry* Entry = AVUtil().av_dict_get(Input->metadata, Key, nullptr, 0);
      AVUtil().av_dict_set(&Output->metadata, Key, Entry ? Entry->value : nullptr, 0);
    }
  }
}

void TCustomFFmpeg::MakeWriter(TOutputStream& AOutput) {
  const char* Codec =
      AOutput.EncodingNeeded && AOutput.Encoder->codec ? AOutput.Encoder->codec->name : "copy";
  TStageLog Log;
  if (Callbacks.LogCallback)
    Log = [this](int ALevel, const std::string& AText) { this->Log(ALevel, AText); };
  AOutput.Writer =
      std::make_unique<TPacketWriter>(Files.OutputFiles[AOutput.FileIndex].get(), AOutput.Stream,
                                      Codec, Settings.ExitOnError != 0, std::move(Log));
  AOutput.Writer->AddFilters(Files.BitstreamFilterChains[AOutput.FileIndex][AOutput.StreamIndex]);
}

void TCustomFFmpeg::WriteHeaders() {
  for (auto& Output : Tables.OutputStreams) MakeWriter(*Output);
  bool AllRtp = true;
  for (int I = 0; I < Files.OutputFileCount; ++I) {
    AVFormatContext* Output = Files.OutputFiles[I].get();
    const int Written = AVFormat().avformat_write_header(Output, nullptr);
    if (Output->pb && Output->pb->error < 0) TPacketWriter::WriteFailed(Output, Output->pb->error);
    if (Written < 0) {
      Log(0, std::string(Output->url ? Output->url : "") + ": " + LibraryErrorText(Written));
      // A muxer that does not take a codec (big-endian samples in WAV) says so only in its
      // log: the message names the codecs it was given.
      std::string Reason = LibraryErrorText(Written);
      if (Written == AVERROR(ENOSYS) || Written == AVERROR_PATCHWELCOME) {
        std::string Codecs;
        for (unsigned S = 0; S < Output->nb_streams; ++S)
          Codecs += std::string(Codecs.empty() ? "" : ", ") +
                    AVCodec().avcodec_get_name(Output->streams[S]->codecpar->codec_id);
        Reason = Codecs + " in " + Output->oformat->name + " is not supported";
      }
      throw FFMpegException(FormatText(
          "Could not write header for output file #%d (incorrect codec parameters ?): %s", I,
          Reason.c_str()));
    }
    AllRtp = AllRtp && std::strcmp(Output->oformat->name, "rtp") == 0;
  }
  if (AllRtp && Callbacks.LogCallback) {
    std::vector<AVFormatContext*> Outputs;
    for (int I = 0; I < Files.OutputFileCount; ++I) Outputs.push_back(Files.OutputFiles[I].get());
    char Sdp[2048] = {};
    AVFormat().av_sdp_create(Outputs.data(), static_cast<int>(Outputs.size()), Sdp, sizeof Sdp);
    std::string Text = Sdp;
    const auto Blank = [](unsigned char C) { return C <= ' '; };
    while (!Text.empty() && Blank(Text.back())) Text.pop_back();
    Text.erase(Text.begin(), std::find_if_not(Text.begin(), Text.end(), Blank));
    Log(1, "SDP: " + Text);
  }
}

} // namespace pelorix
