// Output file creation: the crop, pad and filter checks, the container format, which kinds of
// streams the output gets, the container's meta-data, the file itself and the muxer settings;
// and the "newvideo", "newaudio", "newsubtitle" options. The streams themselves are made in
// FFmpegOutputStreams.cpp.
//
// Owner: TCustomFFmpeg. Runs on the configuring thread. Nothing is encoded or written here:
// the transcode opens the encoders and writes the header.
#include "FFmpeg.h"

#include "OpenErrorText.h"
#include "Utf8Text.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <ctime>
#include <filesystem>
#include <optional>
#include <system_error>

#include <sys/stat.h>

namespace pelorix {

namespace {

// Containers in which a player offers several audio tracks to choose from.
bool HoldsSeveralAudioTracks(const AVOutputFormat* AFormat) {
  const std::string Name = AFormat->name;
  return Name == "matroska" || Name == "mp4" || Name == "mov";
}

// Container tags and the byte limits of the fields they used to be (terminating zero
// included in the old sizes).
constexpr size_t TextTagLimit = 511;
constexpr size_t GenreTagLimit = 31;

bool IsTextSubtitle(AVCodecID AId) {
  const AVCodecDescriptor* Descriptor = AVCodec().avcodec_descriptor_get(AId);
  return Descriptor && (Descriptor->props & AV_CODEC_PROP_TEXT_SUB);
}

bool IsBitmapSubtitle(AVCodecID AId) {
  const AVCodecDescriptor* Descriptor = AVCodec().avcodec_descriptor_get(AId);
  return Descriptor && (Descriptor->props & AV_CODEC_PROP_BITMAP_SUB);
}

const char* CodecName(AVCodecID AId) {
  const AVCodecDescriptor* Descriptor = AVCodec().avcodec_descriptor_get(AId);
  return Descriptor ? Descriptor->name : "none";
}

// ISO 8601 in UTC, the form muxers expect in "creation_time".
std::string CreationTime(int64_t ASeconds) {
  const std::time_t Time = static_cast<std::time_t>(ASeconds);
  std::tm Parts{};
  if (!::gmtime_r(&Time, &Parts)) return {};
  char Text[64];
  if (std::strftime(Text, sizeof Text, "%Y-%m-%dT%H:%M:%S.000000Z", &Parts) == 0) return {};
  return Text;
}

} // namespace

bool TCustomFFmpeg::FiltersResizeFrames(const std::string& AFilters) {
  std::string Text = AFilters;
  std::transform(Text.begin(), Text.end(), Text.begin(),
                 [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
  static const std::string Resizing = ",crop,rotate,scale,transpose,";
  size_t Start = 0;
  while (Start <= Text.size() && !Text.empty()) {
    const size_t Comma = Text.find(',', Start);
    const std::string Item =
        Text.substr(Start, Comma == std::string::npos ? std::string::npos : Comma - Start);
    const std::string Name = Item.substr(0, Item.find('='));
    if (Resizing.find("," + Name + ",") != std::string::npos) return true;
    if (Comma == std::string::npos) break;
    Start = Comma + 1;
  }
  return false;
}

int TCustomFFmpeg::InputAudioTrackCount() const {
  int Count = 0;
  for (int File = 0; File < Files.InputFileCount; ++File) {
    const AVFormatContext* Input = Files.InputFiles[File].get();
    if (!Input) continue;
    // A file of several programs (broadcast services) offers the tracks of its first.
    if (Input->nb_programs > 1) {
      const AVProgram* First = Input->programs[0];
      for (unsigned S = 0; S < First->nb_stream_indexes; ++S)
        if (First->stream_index[S] < Input->nb_streams &&
            Input->streams[First->stream_index[S]]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
          ++Count;
      continue;
    }
    for (unsigned I = 0; I < Input->nb_streams; ++I)
      if (Input->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) ++Count;
  }
  return Count;
}

void TCustomFFmpeg::CheckInputStreamKinds(bool& AHasVideo, bool& AHasAudio,
                                          bool& AHasSubtitle) const {
  AHasVideo = AHasAudio = AHasSubtitle = false;
  for (int File = 0; File < Files.InputFileCount; ++File) {
    const AVFormatContext* Input = Files.InputFiles[File].get();
    if (!Input) continue;
    for (unsigned I = 0; I < Input->nb_streams; ++I) {
      switch (Input->streams[I]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        // A cover picture is the file's artwork, not a picture stream to convert.
        if (!(Input->streams[I]->disposition & AV_DISPOSITION_ATTACHED_PIC)) AHasVideo = true;
        break;
      case AVMEDIA_TYPE_AUDIO:
        AHasAudio = true;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        AHasSubtitle = true;
        break;
      case AVMEDIA_TYPE_UNKNOWN:
      case AVMEDIA_TYPE_DATA:
      case AVMEDIA_TYPE_ATTACHMENT:
        break;
      default:
        throw FFMpegException("invalid codec_type of input file");
      }
    }
  }
}

// The format's own subtitle codec when it has an encoder and some input subtitle stream can
// be converted to it (text to text, pictures to pictures); none otherwise.
AVCodecID TCustomFFmpeg::ConvertibleSubtitleCodec(const AVOutputFormat* AFormat) const {
  const AVCodecID Target = AFormat ? AFormat->subtitle_codec : AV_CODEC_ID_NONE;
  if (Target == AV_CODEC_ID_NONE || !AVCodec().avcodec_find_encoder(Target))
    return AV_CODEC_ID_NONE;
  for (int File = 0; File < Files.InputFileCount; ++File) {
    const AVFormatContext* Input = Files.InputFiles[File].get();
    if (!Input) continue;
    for (unsigned I = 0; I < Input->nb_streams; ++I) {
      const AVCodecParameters* Source = Input->streams[I]->codecpar;
      if (Source->codec_type != AVMEDIA_TYPE_SUBTITLE) continue;
      if ((IsTextSubtitle(Source->codec_id) && IsTextSubtitle(Target)) ||
          (IsBitmapSubtitle(Source->codec_id) && IsBitmapSubtitle(Target)))
        return Target;
    }
  }
  return AV_CODEC_ID_NONE;
}

int TCustomFFmpeg::OutputFileIndexOf(const AVFormatContext* AContainer) const {
  for (int I = 0; I < Files.OutputFileCount; ++I)
    if (Files.OutputFiles[I].get() == AContainer) return I;
  return Files.OutputFileCount; // being opened: it is recorded under the next index
}

void TCustomFFmpeg::OptNewStream(AVMediaType AType) {
  if (Files.OutputFileCount <= 0)
    throw FFMpegException("At least one output file must be specified");
  AVFormatContext* Last = Files.OutputFiles[Files.OutputFileCount - 1].get();
  if (AType == AVMEDIA_TYPE_VIDEO)
    NewVideoStream(Last);
  else if (AType == AVMEDIA_TYPE_AUDIO)
    NewAudioStream(Last);
  else
    NewSubtitleStream(Last);
}

// The meta-data now lives in the container's tag dictionary under the generic keys.
void TCustomFFmpeg::WriteMetaData(AVFormatContext* AContainer) {
  const auto Tag = [AContainer](const char* AKey, const std::string& AValue) {
    if (!AValue.empty()) AVUtil().av_dict_set(&AContainer->metadata, AKey, AValue.c_str(), 0);
  };
  // An unset timestamp (0) means none, not the first second of 1970.
  if (Options.RecTimestamp != 0) Tag("creation_time", CreationTime(Options.RecTimestamp));
  Tag("title", CutUtf8(Options.Title, TextTagLimit));
  Tag("artist", CutUtf8(Options.Author, TextTagLimit));
  Tag("copyright", CutUtf8(Options.Copyright, TextTagLimit));
  Tag("comment", CutUtf8(Options.Comment, TextTagLimit));
  Tag("album", CutUtf8(Options.Album, TextTagLimit));
  if (Options.Year > 0) Tag("date", std::to_string(Options.Year));
  if (Options.Track > 0) Tag("track", std::to_string(Options.Track));
  Tag("genre", CutUtf8(Options.Genre, GenreTagLimit));
}

// Preload and output looping became options private to the muxers that use them; muxers
// without them ignore the names.
void TCustomFFmpeg::ApplyMuxerSettings(AVFormatContext* AContainer) {
  // In single precision, as the settings are kept: 0.7 s gives 700000, not 699999. Values
  // beyond the fields' range are held at its ends.
  const auto Microseconds = [](float ASeconds) {
    const double Value = ASeconds * static_cast<float>(AV_TIME_BASE);
    return static_cast<int>(
        std::clamp(Value, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
  };
  AVUtil().av_opt_set(AContainer, "preload",
                      std::to_string(Microseconds(Options.MuxPreload)).c_str(),
                      AV_OPT_SEARCH_CHILDREN);
  AContainer->max_delay = Microseconds(Options.MuxMaxDelay);
  if (std::string(AContainer->oformat->name) == "gif")
    AVUtil().av_opt_set(AContainer, "loop", std::to_string(Options.LoopOutput).c_str(),
                        AV_OPT_SEARCH_CHILDREN);
}

// The name of the opened input that AFileName would write over, or empty. A file that exists
// is compared by device and inode (hard links, other spellings); one that does not yet by its
// canonical path. Names with a protocol other than "file:" are not files of this system.
std::string TCustomFFmpeg::SameFileAsInput(const std::string& AFileName) const {
  const auto LocalPath = [](const std::string& AName) -> std::optional<std::string> {
    const size_t Colon = AName.find(':');
    if (Colon == std::string::npos || AName.find('/') < Colon) return AName;
    if (AName.compare(0, Colon, "file") == 0) return AName.substr(Colon + 1);
    return std::nullopt;
  };
  const std::optional<std::string> Output = LocalPath(AFileName);
  if (!Output || Output->empty()) return {};
  struct stat OutputInfo {};
  const bool OutputExists = ::stat(Output->c_str(), &OutputInfo) == 0;
  std::error_code Error;
  const std::filesystem::path OutputPath = std::filesystem::weakly_canonical(*Output, Error);
  for (int File = 0; File < Files.InputFileCount; ++File) {
    const AVFormatContext* Input = Files.InputFiles[File].get();
    if (!Input || !Input->url) continue;
    const std::optional<std::string> Path = LocalPath(Input->url);
    if (!Path || Path->empty()) continue;
    struct stat InputInfo {};
    if (OutputExists) {
      if (::stat(Path->c_str(), &InputInfo) == 0 && InputInfo.st_dev == OutputInfo.st_dev &&
          InputInfo.st_ino == OutputInfo.st_ino)
        return Input->url;
    } else if (!OutputPath.empty()) {
      std::error_code InputError;
      if (std::filesystem::weakly_canonical(*Path, InputError) == OutputPath && !InputError)
        return Input->url;
    }
  }
  return {};
}

bool TCustomFFmpeg::OpenOutputFile(const std::string& AFileName) {
  Owner.Check(__func__);
  // The forced formats are taken by this open whether it succeeds or not.
  struct TConsume {
    TCustomFFmpeg& Engine;
    ~TConsume() {
      Engine.Options.FileOutputFormat = nullptr;
      Engine.Options.FileInputFormat = nullptr;
    }
  } Consume{*this};

  if (!Options.VideoFilters.empty() && Options.FrameLeftBand + Options.FrameRightBand +
                                               Options.FrameTopBand + Options.FrameBottomBand !=
                                           0) {
    Run.LastErrorText = "Cannot enable crop options and filters at the same time.";
    return false;
  }
  if (FiltersResizeFrames(Options.VideoFilters) &&
      Options.FramePadLeft + Options.FramePadRight + Options.FramePadTop + Options.FramePadBottom !=
          0) {
    Run.LastErrorText = "Cannot enable pad options and the filters which resize frame at the "
                        "same time. (crop, rotate, scale, transpose, etc.)";
    return false;
  }
  // Writing over a file while it is read would destroy it: refused before anything is opened.
  if (const std::string Input = SameFileAsInput(AFileName); !Input.empty()) {
    Run.LastErrorText = "Output file '" + AFileName + "' is the input file '" + Input +
                        "': choose another output file";
    return false;
  }
  Settings.UsingVideoFilters = !Options.VideoFilters.empty();
  const int Index = Files.OutputFileCount;
  if (Index < 0 || Index >= MaxFiles) {
    Run.LastErrorText = AFileName + ": too many output files";
    return false;
  }

  const AVOutputFormat* Format = Options.FileOutputFormat;
  if (!Format) Format = AVFormat().av_guess_format(nullptr, AFileName.c_str(), nullptr);
  if (!Format) {
    Run.LastErrorText = "Unable to find a suitable output format for '" + AFileName + "'";
    return false;
  }
  // The output allocation also makes the muxer's private part, so that its own options can
  // be set.
  AVFormatContext* Raw = nullptr;
  const int Allocated =
      AVFormat().avformat_alloc_output_context2(&Raw, Format, nullptr, AFileName.c_str());
  TOutputContextPtr Output(Raw);
  if (Allocated < 0 || !Output) {
    Run.LastErrorText = FileOpenErrorText(AFileName, Allocated < 0 ? Allocated : AVERROR(ENOMEM));
    return false;
  }
  // What a stream function leaves for this file index belongs to this open only.
  const auto ForgetStreams = [this, Index] {
    StreamCodecs.Outputs[Index].clear();
    for (TBitstreamFilterChain& Chain : Files.BitstreamFilterChains[Index]) Chain.clear();
  };
  ForgetStreams();

  // Kinds of streams: what the format, the options and the inputs call for.
  bool WantVideo =
      Format->video_codec != AV_CODEC_ID_NONE || Options.VideoStreamCopy || Options.VideoCodecName;
  bool WantAudio =
      Format->audio_codec != AV_CODEC_ID_NONE || Options.AudioStreamCopy || Options.AudioCodecName;
  bool WantSubtitle = Format->subtitle_codec != AV_CODEC_ID_NONE || Options.SubtitleStreamCopy ||
                      Options.SubtitleCodecName;
  if (Files.InputFileCount > 0) {
    bool HasVideo = false, HasAudio = false, HasSubtitle = false;
    try {
      CheckInputStreamKinds(HasVideo, HasAudio, HasSubtitle);
    } catch (const std::exception& E) {
      Run.LastErrorText = std::string("check_audio_video_sub_inputs fail: ") + E.what();
      return false;
    }
    WantVideo = WantVideo && HasVideo;
    WantAudio = WantAudio && HasAudio;
    WantSubtitle = WantSubtitle && HasSubtitle;
  }
  if (Options.AudioDisable) WantAudio = false;
  if (Options.VideoDisable) WantVideo = false;
  if (Options.SubtitleDisable) WantSubtitle = false;
  // A subtitle stream asked for by the format alone needs subtitles it can be encoded from.
  if (WantSubtitle && !Options.SubtitleStreamCopy && !Options.SubtitleCodecName &&
      ConvertibleSubtitleCodec(Format) == AV_CODEC_ID_NONE) {
    WantSubtitle = false;
    Log(1, "No subtitle stream in '" + AFileName +
               "': the input subtitles cannot be converted "
               "to " +
               CodecName(Format->subtitle_codec));
  }

  const auto CreateStream = [&](void (TCustomFFmpeg::*ANew)(AVFormatContext*), const char* AWhat) {
    try {
      (this->*ANew)(Output.get());
      return true;
    } catch (const std::exception& E) {
      Run.LastErrorText = std::string(AWhat) + " fail: " + E.what();
      ForgetStreams();
      return false;
    }
  };
  if (WantVideo && !CreateStream(&TCustomFFmpeg::NewVideoStream, "new_video_stream")) return false;
  if (WantAudio) {
    // Without maps (and outside a chosen program) every audio track of the inputs goes where
    // the container holds several, each with the same settings; elsewhere the first one.
    const int Tracks =
        Files.StreamMapCount == 0 && Options.ProgramId == 0 && HoldsSeveralAudioTracks(Format)
            ? std::max(1, InputAudioTrackCount())
            : 1;
    const std::string CodecName = Options.AudioCodecName ? Options.AudioCodecName.get() : "";
    const bool Named = Options.AudioCodecName != nullptr;
    const int32_t Copy = Options.AudioStreamCopy;
    const TBitstreamFilterChain Filters = Files.AudioBitstreamFilters;
    for (int Track = 0; Track < Tracks; ++Track) {
      if (Track > 0) {
        Options.AudioCodecName = Named ? AvStrDup(CodecName.c_str()) : nullptr;
        Options.AudioStreamCopy = Copy;
        Files.AudioBitstreamFilters = Filters;
      }
      if (!CreateStream(&TCustomFFmpeg::NewAudioStream, "new_audio_stream")) return false;
    }
  }
  if (WantSubtitle && !CreateStream(&TCustomFFmpeg::NewSubtitleStream, "new_subtitle_stream"))
    return false;
  AddCoverStream(Output.get());

  CarrySourceTags(Output.get());
  CarryChapters(Output.get());
  WriteMetaData(Output.get());

  // Recorded from here on; a failure below takes it out again.
  AVFormatContext* Container = Output.get();
  Files.OutputFiles[Index] = std::move(Output);
  Files.OutputFileCount = Index + 1;
  const auto Unrecord = [&] {
    Files.OutputFiles[Index].reset(); // closes the file if it was opened
    Files.OutputFileCount = Index;
    ForgetStreams();
  };

  // Image sequences need a number pattern; the image muxer no longer says so itself, and
  // without one every picture would overwrite the last.
  const bool NeedsNumber =
      (Format->flags & AVFMT_NEEDNUMBER) || std::string(Format->name) == "image2";
  if (NeedsNumber && AVFormat().av_filename_number_test(Container->url) == 0) {
    Run.LastErrorText = FileOpenErrorText(Container->url, AVERROR(EDOM));
    Unrecord();
    return false;
  }
  const int Opened = (Format->flags & AVFMT_NOFILE)
                         ? 0
                         : AVFormat().avio_open(&Container->pb, AFileName.c_str(), AVIO_FLAG_WRITE);
  if (Opened < 0) {
    Log(0, AFileName + ": " + LibraryErrorText(Opened));
    Run.LastErrorText = "Could not open '" + AFileName + "': " + LibraryErrorText(Opened);
    Unrecord();
    return false;
  }
  // Parameters a muxer refuses now surface when the transcode writes the header.

  ApplyMuxerSettings(Container);
  SetContextOptions(Container, LibOptions.FormatOptions.get(), AV_OPT_FLAG_ENCODING_PARAM);
  return true;
}

} // namespace pelorix
