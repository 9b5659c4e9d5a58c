// Option intake by name: the option table, the hand-over of every other name to the libraries'
// option system, and the copy of parked values onto real codec and container contexts.
#include "FFmpeg.h"

#include "MediaLibraries.h"
#include "OptionConversions.h"

#include <algorithm>
#include <utility>

namespace pelorix {

namespace {

using TApply = void (*)(TCustomFFmpeg& AEngine, const std::string& AName,
                        const std::string& AValue);

struct TOptionRow {
  const char* Name;
  TApply Apply;
};

bool IsBlank(const std::string& AText) {
  return AText.find_first_not_of(" \t\r\n") == std::string::npos;
}

// The option masks of the codec kinds, in the order the kinds are tried.
constexpr int KindMasks[ckCount] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0,
                                    AV_OPT_FLAG_SUBTITLE_PARAM, 0};

// Bit-rate options that the libraries now also mark as audio options. They are parked and
// applied as the video settings they have always been here; "ab" carries the audio rate.
int KindFlagsOf(const AVOption* AOption) {
  static const char* const VideoOnly[] = {"b", "maxrate", "minrate", "bufsize"};
  for (const char* Name : VideoOnly)
    if (std::string(AOption->name) == Name) return AOption->flags & ~AV_OPT_FLAG_AUDIO_PARAM;
  return AOption->flags;
}

// Names and values that older settings use and the libraries now spell otherwise.
std::vector<std::pair<std::string, std::string>> MapLegacyOption(const std::string& AName,
                                                                 const std::string& AValue) {
  if (AName == "gop") return {{"g", AValue}};
  if (AName == "flags" && AValue.find("+scan_offset") != std::string::npos) {
    // The scan-offset flag became a private switch of the MPEG-1/2 video encoders.
    std::string Rest = AValue;
    Rest.erase(Rest.find("+scan_offset"), std::string("+scan_offset").size());
    std::vector<std::pair<std::string, std::string>> Pairs;
    if (!IsBlank(Rest)) Pairs.emplace_back("flags", Rest);
    Pairs.emplace_back("scan_offset", "1");
    return Pairs;
  }
  return {{AName, AValue}};
}

void Park(TParkingList& AList, const AVOption* AOption, bool APrivate, const std::string& AValue) {
  AList.Names.push_back({AOption->name, KindFlagsOf(AOption), APrivate});
  if (APrivate) AList.PrivateValues[AOption->name] = AValue;
}

// An option private to some encoder or muxer of the class's family, or null.
const AVOption* FindPrivateOption(const AVClass* AClass, const std::string& AName) {
  const AVClass* Class = AClass;
  return AVUtil().av_opt_find(&Class, AName.c_str(), nullptr, 0,
                              AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ);
}

} // namespace

void TCustomFFmpeg::DoNothing(const std::string& AName) { Log(1, "Do nothing: option - " + AName); }

void TCustomFFmpeg::SetOption(const std::string& AName, const std::string& AValue) {
  Owner.Check(__func__);
  using E = TCustomFFmpeg;
  using S = const std::string&;
#define DO_NOTHING(Name) \
  { \
    Name, [](E& F, S N, S) { F.DoNothing(N); } \
  }
#define FLAG(Name, Field) \
  { \
    Name, [](E& F, S, S) { F.Field = 1; } \
  }
#define INT(Name, Field) \
  { \
    Name, [](E& F, S, S V) { F.Field = StrToInt(V); } \
  }
#define FLOAT(Name, Field) \
  { \
    Name, [](E& F, S, S V) { F.Field = static_cast<float>(StrToFloat(V)); } \
  }
#define TEXT(Name, Field) \
  { \
    Name, [](E& F, S, S V) { \
      if (!V.empty()) F.Field = V; \
    } \
  }
#define LIBRARY_TEXT(Name, Field) \
  { \
    Name, [](E& F, S, S V) { F.Field = AvStrDup(V.c_str()); } \
  }
  static const TOptionRow Table[] = {
      DO_NOTHING("L"),
      DO_NOTHING("h"),
      DO_NOTHING("version"),
      DO_NOTHING("formats"),
      {"f", [](E& F, S, S V) { F.OptFormat(V); }},
      DO_NOTHING("i"),
      DO_NOTHING("y"),
      {"map", [](E& F, S, S V) { F.OptMap(V); }},
      {"map_meta_data", [](E& F, S, S V) { F.OptMetaDataMap(V); }},
      {"t", [](E& F, S N, S V) { F.OptRecordingTime(N, V); }},
      {"fs", [](E& F, S, S V) { F.Settings.LimitFileSize = StrToInt64(V); }},
      {"ss", [](E& F, S N, S V) { F.Options.StartTime = F.ParseTime(N, V, true); }},
      {"itsoffset",
       [](E& F, S N, S V) { F.Options.InputTsOffsetOption = F.ParseTime(N, V, true); }},
      {"itsscale", [](E& F, S, S V) { F.OptInputTsScale(V); }},
      TEXT("title", Options.Title),
      {"timestamp", [](E& F, S N, S V) { F.OptRecTimestamp(N, V); }},
      TEXT("author", Options.Author),
      TEXT("copyright", Options.Copyright),
      TEXT("comment", Options.Comment),
      TEXT("genre", Options.Genre),
      TEXT("album", Options.Album),
      INT("dframes", Options.MaxFrames[ckData]),
      DO_NOTHING("benchmark"),
      FLAG("dump", Settings.DoPktDump),
      FLAG("hex", Settings.DoHexDump),
      FLAG("re", Options.RateEmu),
      FLAG("loop_input", Options.LoopInput),
      INT("loop_output", Options.LoopOutput),
      {"v", [](E& F, S, S V) { F.SetVerbose(StrToInt(V)); }},
      {"target", [](E& F, S, S V) { F.OptTarget(V); }},
      {"threads", [](E&, S N, S) { throw FFMpegException("TODO: option - " + N); }},
      INT("vsync", Settings.VideoSyncMethod),
      INT("async", Settings.AudioSyncMethod),
      FLOAT("adrift_threshold", Settings.AudioDriftThreshold),
      INT("vglobal", Settings.VideoGlobalHeader),
      FLAG("copyts", Settings.CopyTs),
      FLAG("shortest", Settings.Shortest),
      FLOAT("dts_delta_threshold", Settings.DtsDeltaThreshold),
      INT("programid", Options.ProgramId),
      FLAG("xerror", Settings.ExitOnError),
      {"b", [](E& F, S N, S V) { F.OptBitRate(N, V); }},
      {"vb", [](E& F, S N, S V) { F.OptBitRate(N, V); }},
      INT("vframes", Options.MaxFrames[ckVideo]),
      {"r", [](E& F, S, S V) { F.OptFrameRate(V); }},
      {"s", [](E& F, S, S V) { F.OptFrameSize(V); }},
      {"aspect", [](E& F, S, S V) { F.OptAspect(V); }},
      {"pix_fmt", [](E& F, S, S V) { F.OptPixelFormat(V); }},
      {"croptop", [](E& F, S N, S V) { F.OptCrop(N, StrToInt(V)); }},
      {"cropbottom", [](E& F, S N, S V) { F.OptCrop(N, StrToInt(V)); }},
      {"cropleft", [](E& F, S N, S V) { F.OptCrop(N, StrToInt(V)); }},
      {"cropright", [](E& F, S N, S V) { F.OptCrop(N, StrToInt(V)); }},
      {"padtop", [](E& F, S N, S V) { F.OptPad(N, StrToInt(V)); }},
      {"padbottom", [](E& F, S N, S V) { F.OptPad(N, StrToInt(V)); }},
      {"padleft", [](E& F, S N, S V) { F.OptPad(N, StrToInt(V)); }},
      {"padright", [](E& F, S N, S V) { F.OptPad(N, StrToInt(V)); }},
      {"padcolor", [](E& F, S, S V) { F.OptPadColor(StrToInt(V)); }},
      FLAG("intra", Options.IntraOnly),
      FLAG("vn", Options.VideoDisable),
      INT("vdt", Options.VideoDiscard),
      {"qscale", [](E& F, S, S V) { F.OptQscale(StrToFloat(V)); }},
      LIBRARY_TEXT("rc_override", Options.VideoRcOverride),
      {"vcodec", [](E& F, S N, S V) { F.OptCodecName(N, V); }},
      INT("me_threshold", Options.MeThreshold),
      FLAG("sameq", Options.SameQuality),
      {"pass", [](E& F, S, S V) { F.OptPass(StrToInt(V)); }},
      {"passlogfile", [](E& F, S, S V) { F.Settings.PassLogFileName = V; }},
      FLAG("deinterlace", Options.DoDeinterlace),
      FLAG("deinterlace_fields", Options.DeinterlaceFields),
      FLAG("psnr", Settings.DoPsnr),
      {"vstats", [](E& F, S, S) { F.OptVstats(); }},
      {"vstats_file", [](E& F, S, S V) { F.OptVstatsFile(V); }},
      {"vhook", [](E& F, S, S V) { F.OptVideoHook(V); }},
      TEXT("vfilters", Options.VideoFilters),
      {"intra_matrix", [](E& F, S N, S V) { F.OptMatrix(N, V); }},
      {"inter_matrix", [](E& F, S N, S V) { F.OptMatrix(N, V); }},
      INT("top", Options.TopFieldFirst),
      INT("dc", Options.IntraDcPrecision),
      {"vtag", [](E& F, S N, S V) { F.OptCodecTag(N, V); }},
      {"newvideo", [](E& F, S, S) { F.OptNewStream(AVMEDIA_TYPE_VIDEO); }},
      FLAG("qphist", Options.QpHist),
      {"ab", [](E& F, S N, S V) { F.OptBitRate(N, V); }},
      INT("aframes", Options.MaxFrames[ckAudio]),
      FLOAT("aq", Options.AudioQscale),
      {"ar", [](E& F, S, S V) { if (int R = StrToInt(V); R > 0) F.Options.AudioSampleRate = R; }},
      {"ac", [](E& F, S, S V) { if (int C = StrToInt(V); C > 0) F.Options.AudioChannels = C; }},
      FLAG("an", Options.AudioDisable),
      {"acodec", [](E& F, S N, S V) { F.OptCodecName(N, V); }},
      {"atag", [](E& F, S N, S V) { F.OptCodecTag(N, V); }},
      INT("vol", Settings.AudioVolume),
      {"newaudio", [](E& F, S, S) { F.OptNewStream(AVMEDIA_TYPE_AUDIO); }},
      {"alang", [](E& F, S, S V) { F.Options.AudioLanguage = V; }},
      {"sample_fmt", [](E& F, S, S V) { F.OptSampleFormat(V); }},
      FLAG("sn", Options.SubtitleDisable),
      {"scodec", [](E& F, S N, S V) { F.OptCodecName(N, V); }},
      {"newsubtitle", [](E& F, S, S) { F.OptNewStream(AVMEDIA_TYPE_SUBTITLE); }},
      {"slang", [](E& F, S, S V) { F.Options.SubtitleLanguage = V; }},
      INT("vc", Options.VideoChannel),
      LIBRARY_TEXT("tvstd", Options.VideoStandard),
      FLAG("isync", Settings.InputSync),
      FLOAT("muxdelay", Options.MuxMaxDelay),
      FLOAT("muxpreload", Options.MuxPreload),
      {"absf", [](E& F, S N, S V) { F.OptBitstreamFilter(N, V); }},
      {"vbsf", [](E& F, S N, S V) { F.OptBitstreamFilter(N, V); }},
      {"sbsf", [](E& F, S N, S V) { F.OptBitstreamFilter(N, V); }},
      DO_NOTHING("apre"),
      DO_NOTHING("vpre"),
      DO_NOTHING("spre"),
  };
#undef DO_NOTHING
#undef FLAG
#undef INT
#undef FLOAT
#undef TEXT
#undef LIBRARY_TEXT
  for (const TOptionRow& Row : Table) {
    if (AName == Row.Name) {
      Row.Apply(*this, AName, AValue);
      NoteUserProperty(AName);
      return;
    }
  }
  SetLibraryOption(AName, AValue);
}

// A property given by name is the user's, even when it equals what the last input offered:
// the input's record of it is struck out, so that the next stream does not take it for one
// to inherit (see TStreamProperties).
void TCustomFFmpeg::NoteUserProperty(const std::string& AName) {
  TStreamProperties& Video = Options.InputVideo;
  TStreamProperties& Audio = Options.InputAudio;
  if (AName == "s") Video.Width = Video.Height = -1;
  if (AName == "r") Video.FrameRate = AVRational{-1, -1};
  if (AName == "aspect") Video.AspectRatio = -1;
  if (AName == "pix_fmt") Video.PixFmt = -2;
  if (AName == "ac") Audio.Channels = -1;
  if (AName == "ar") Audio.SampleRate = -1;
  if (AName == "sample_fmt") Audio.SampleFmt = -2;
}

bool TCustomFFmpeg::SetLibraryOption(const std::string& AName, int64_t AValue) {
  Owner.Check(__func__);
  return SetLibraryOption(AName, std::to_string(AValue));
}

bool TCustomFFmpeg::SetLibraryOption(const std::string& AName, const std::string& AValue) {
  Owner.Check(__func__);
  if (IsBlank(AName) || IsBlank(AValue)) return false;
  if (!LibOptions.FormatOptions) return false; // not reset: no parking contexts
  bool Accepted = false;
  for (const auto& [Name, Value] : MapLegacyOption(AName, AValue))
    Accepted = ParkLibraryOption(Name, Value) || Accepted;
  return Accepted;
}

bool TCustomFFmpeg::ParkLibraryOption(const std::string& AName, const std::string& AValue) {
  const char* Name = AName.c_str();
  const char* Value = AValue.c_str();
  auto& Codecs = LibOptions.CodecOptions;
  const AVOption* Found = nullptr;

  // Options common to every codec context, parked in each kind they belong to.
  if (const AVOption* Option = AVUtil().av_opt_find(Codecs[ckVideo].get(), Name, nullptr, 0, 0)) {
    for (int Kind = 0; Kind < ckCount; ++Kind) {
      if ((KindFlagsOf(Option) & KindMasks[Kind]) != KindMasks[Kind]) continue;
      const bool Set = AVUtil().av_opt_set(Codecs[Kind].get(), Name, Value, 0) >= 0;
      if (Set) Park(LibOptions.CodecParked[Kind], Option, false, AValue);
      Found = Set ? Option : nullptr;
    }
  }
  // Then the container options and the scaler options.
  if (!Found) {
    const AVOption* Option =
        AVUtil().av_opt_find(LibOptions.FormatOptions.get(), Name, nullptr, 0, 0);
    if (Option && AVUtil().av_opt_set(LibOptions.FormatOptions.get(), Name, Value, 0) >= 0) {
      Park(LibOptions.FormatParked, Option, false, AValue);
      Found = Option;
    }
  }
  if (!Found) {
    const AVOption* Option =
        AVUtil().av_opt_find(LibOptions.ScaleOptions.get(), Name, nullptr, 0, 0);
    if (Option && AVUtil().av_opt_set(LibOptions.ScaleOptions.get(), Name, Value, 0) >= 0) {
      Park(LibOptions.ScaleParked, Option, false, AValue);
      Found = Option;
    }
  }
  // Options private to one encoder or muxer wait as text for a context that has them.
  if (!Found) {
    if (const AVOption* Option = FindPrivateOption(AVCodec().avcodec_get_class(), AName)) {
      for (int Kind = 0; Kind < ckCount; ++Kind)
        if ((Option->flags & KindMasks[Kind]) == KindMasks[Kind])
          Park(LibOptions.CodecParked[Kind], Option, true, AValue);
      Found = Option;
    }
  }
  if (!Found) {
    if (const AVOption* Option = FindPrivateOption(AVFormat().avformat_get_class(), AName)) {
      Park(LibOptions.FormatParked, Option, true, AValue);
      Found = Option;
    }
  }
  // "aname", "vname", "sname": the codec option "name" of that kind.
  if (!Found && AName.size() > 1 && (AName[0] == 'a' || AName[0] == 'v' || AName[0] == 's')) {
    const int Kind = AName[0] == 'a' ? ckAudio : AName[0] == 'v' ? ckVideo : ckSubtitle;
    const char* Short = Name + 1;
    const AVOption* Option = AVUtil().av_opt_find(Codecs[Kind].get(), Short, nullptr, 0, 0);
    if (Option && AVUtil().av_opt_set(Codecs[Kind].get(), Short, Value, 0) >= 0) {
      Park(LibOptions.CodecParked[Kind], Option, false, AValue);
      Found = Option;
    }
  }
  if (!Found) return false;

  LibOptions.OptNames.emplace_back(Found->name);
  int64_t CodecDebug = 0, FormatDebug = 0;
  AVUtil().av_opt_get_int(Codecs[ckVideo].get(), "debug", 0, &CodecDebug);
  AVUtil().av_opt_get_int(LibOptions.FormatOptions.get(), "fdebug", 0, &FormatDebug);
  if (CodecDebug != 0 || FormatDebug != 0) SetVerbose(2);
  return true;
}

TParkingList* TCustomFFmpeg::ParkingListOf(void* AOptionContext) {
  for (int Kind = 0; Kind < ckCount; ++Kind)
    if (AOptionContext == LibOptions.CodecOptions[Kind].get()) return &LibOptions.CodecParked[Kind];
  if (AOptionContext == LibOptions.FormatOptions.get()) return &LibOptions.FormatParked;
  if (AOptionContext == LibOptions.ScaleOptions.get()) return &LibOptions.ScaleParked;
  return nullptr;
}

void TCustomFFmpeg::SetContextOptions(void* ATarget, void* AOptionContext, int AFlags) {
  Owner.Check(__func__);
  const TParkingList* List = AOptionContext ? ParkingListOf(AOptionContext) : nullptr;
  if (!ATarget || !List) return;
  for (const TParkedOption& Option : List->Names) {
    if ((Option.Flags & AFlags) != AFlags) continue;
    const char* Name = Option.Name.c_str();
    if (Option.Private) {
      // Meant for one encoder or muxer: others do not know the name, which is fine.
      const std::string& Value = List->PrivateValues.at(Option.Name);
      const int Result = AVUtil().av_opt_set(ATarget, Name, Value.c_str(), AV_OPT_SEARCH_CHILDREN);
      if (Result < 0 && Result != AVERROR_OPTION_NOT_FOUND)
        DevTrace("private option " + Option.Name + "=" + Value + " refused");
      continue;
    }
    uint8_t* Text = nullptr;
    if (AVUtil().av_opt_get(AOptionContext, Name, 0, &Text) < 0 || !Text) continue;
    TAvString Owned(reinterpret_cast<char*>(Text));
    AVUtil().av_opt_set(ATarget, Name, Owned.get(), 0);
  }
}

} // namespace pelorix
