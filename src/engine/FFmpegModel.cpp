// Construction, defaults, reset and clean-up of the engine, the component's setters and the
// file-open error texts.
#include "FFmpeg.h"

#include "MediaLibraries.h"
#include "OpenErrorText.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace pelorix {

namespace {

// Default flags of a parking context, as a new codec context of that kind gets them.
int KindFlags(int AKind) {
  switch (AKind) {
  case ckVideo:
    return AV_OPT_FLAG_VIDEO_PARAM;
  case ckAudio:
    return AV_OPT_FLAG_AUDIO_PARAM;
  case ckSubtitle:
    return AV_OPT_FLAG_SUBTITLE_PARAM;
  default:
    return 0;
  }
}

AVMediaType KindMediaType(int AKind) {
  static const AVMediaType Types[ckCount] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO,
                                             AVMEDIA_TYPE_DATA, AVMEDIA_TYPE_SUBTITLE,
                                             AVMEDIA_TYPE_ATTACHMENT};
  return Types[AKind];
}

// Removes AFileName when it exists with no content; a missing file is not an error.
void DeleteIfEmpty(const std::string& AFileName) {
  struct stat Info {};
  if (!AFileName.empty() && ::stat(AFileName.c_str(), &Info) == 0 && S_ISREG(Info.st_mode) &&
      Info.st_size == 0)
    ::unlink(AFileName.c_str());
}

} // namespace

TCustomFFmpeg::TCustomFFmpeg() { SetDefaults(); }

void TCustomFFmpeg::SetDefaults() {
  // Groups 2, 3 and 5 start over. Library-owned members are released by Cleanup before this
  // runs; on a fresh engine they are empty.
  Options = TOptionState{};
  Settings = TRunSettings{};
  Stats = TRunStatistics{};
  Files.InputFileCount = 0;
  Files.OutputFileCount = 0;
  Files.StreamMapCount = 0;
  Files.MetaDataMapCount = 0;
  Files.InputTsScale = {};
  Files.InputStartSeek = {};
  Files.VideoBitstreamFilters.clear();
  Files.AudioBitstreamFilters.clear();
  Files.SubtitleBitstreamFilters.clear();
  LibOptions.OptNames.clear();
  LibOptions.FormatOptions.reset();
  LibOptions.ScaleOptions.reset();
  Hooks = THookState{};
  {
    std::lock_guard Guard(WorkersLock);
    Run.Thread.reset();
  }
  Run.RecordingDuration = -1;
  Run.ErrorOccurred = false;
  Run.Spans = TRunSpans{};
}

void TCustomFFmpeg::Reset() {
  Owner.Check(__func__);
  if (!MediaLibrariesLoaded()) return;
  Cleanup();
  SetDefaults();
  Run.Running = false;
  Run.StopRequested = false;
  Run.Finished = false;
  Run.Ended = false;
  EndScheduled = false;
  Run.RecordingDuration = -1;
  for (int Kind = 0; Kind < ckCount; ++Kind) {
    TCodecContextPtr Context(AVCodec().avcodec_alloc_context3(nullptr));
    if (!Context) throw FFMpegException("Could not allocate the codec option contexts");
    Context->codec_type = KindMediaType(Kind);
    AVUtil().av_opt_set_defaults2(Context.get(), KindFlags(Kind), KindFlags(Kind));
    LibOptions.CodecOptions[Kind] = std::move(Context);
  }
  LibOptions.FormatOptions.reset(AVFormat().avformat_alloc_context());
  LibOptions.ScaleOptions.reset(SwScale().sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16,
                                                         AV_PIX_FMT_YUV420P, Settings.SwsFlags,
                                                         nullptr, nullptr, nullptr));
  if (!LibOptions.FormatOptions || !LibOptions.ScaleOptions)
    throw FFMpegException("Could not allocate the option contexts");
}

void TCustomFFmpeg::CloseOutputFiles() {
  for (TOutputContextPtr& Output : Files.OutputFiles) {
    if (!Output) continue;
    const std::string FileName = Output->url ? Output->url : "";
    Output.reset();
    DeleteIfEmpty(FileName);
  }
  Files.OutputFileCount = 0;
}

void TCustomFFmpeg::Cleanup() {
  Owner.Check(__func__);
  ReleaseAll();
}

void TCustomFFmpeg::ReleaseAll() {
  if (!MediaLibrariesLoaded()) return;
  for (TCodecContextPtr& Context : LibOptions.CodecOptions) Context.reset();
  LibOptions.FormatOptions.reset();
  LibOptions.ScaleOptions.reset();
  for (TParkingList& List : LibOptions.CodecParked) List = TParkingList{};
  LibOptions.FormatParked = TParkingList{};
  LibOptions.ScaleParked = TParkingList{};

  for (auto& Streams : StreamCodecs.Outputs) Streams.clear();
  CloseOutputFiles();
  for (auto& Streams : StreamCodecs.Inputs) Streams.clear();
  for (TInputContextPtr& Input : Files.InputFiles) Input.reset();
  Files.InputFileCount = 0;

  Options.IntraMatrix.reset();
  Options.InterMatrix.reset();
  Settings.VstatsFile.reset();
  Settings.VstatsFileName.reset();
  LibOptions.OptNames.clear();
  Options.VideoCodecName.reset();
  Options.AudioCodecName.reset();
  Options.SubtitleCodecName.reset();
  Options.VideoStandard.reset();
  Options.VideoRcOverride.reset();
  Options.AudioLanguage.clear();
  Options.SubtitleLanguage.clear();
  Stats.BitBuffer = {};

  ReleaseFrameHooks(Hooks.Modules);
  Hooks = THookState{};
}

void TCustomFFmpeg::Log(int ALevel, const std::string& AText) {
  if (Callbacks.LogCallback) Callbacks.LogCallback(*this, ALevel, AText);
}

void TCustomFFmpeg::SetVerbose(int AVerbose) {
  Settings.Verbose = AVerbose;
  SetMediaLogLevel(AVerbose);
}

// --- Component setters ---

void TCustomFFmpeg::SetAudioVolume(int AVolume) {
  Owner.Check(__func__);
  if (AVolume >= 0) Settings.AudioVolume = AVolume;
}
void TCustomFFmpeg::SetAudioSyncMethod(int AMethod) {
  Owner.Check(__func__);
  Settings.AudioSyncMethod = AMethod;
}
void TCustomFFmpeg::SetVideoSyncMethod(int AMethod) {
  Owner.Check(__func__);
  Settings.VideoSyncMethod = AMethod;
}
void TCustomFFmpeg::SetMuxMaxDelay(float ASeconds) {
  Owner.Check(__func__);
  if (ASeconds > 0) Options.MuxMaxDelay = ASeconds;
}
void TCustomFFmpeg::SetMuxPreload(float ASeconds) {
  Owner.Check(__func__);
  if (ASeconds > 0) Options.MuxPreload = ASeconds;
}

namespace {
void SetIfNotEmpty(std::string& AField, const std::string& AText) {
  if (!AText.empty()) AField = AText;
}
} // namespace

void TCustomFFmpeg::SetTitle(const std::string& AText) {
  Owner.Check(__func__);
  SetIfNotEmpty(Options.Title, AText);
}
void TCustomFFmpeg::SetAuthor(const std::string& AText) {
  Owner.Check(__func__);
  SetIfNotEmpty(Options.Author, AText);
}
void TCustomFFmpeg::SetCopyright(const std::string& AText) {
  Owner.Check(__func__);
  SetIfNotEmpty(Options.Copyright, AText);
}
void TCustomFFmpeg::SetComment(const std::string& AText) {
  Owner.Check(__func__);
  SetIfNotEmpty(Options.Comment, AText);
}
void TCustomFFmpeg::SetGenre(const std::string& AText) {
  Owner.Check(__func__);
  SetIfNotEmpty(Options.Genre, AText);
}
void TCustomFFmpeg::SetAlbum(const std::string& AText) {
  Owner.Check(__func__);
  SetIfNotEmpty(Options.Album, AText);
}
void TCustomFFmpeg::SetYear(int AYear) {
  Owner.Check(__func__);
  if (AYear > 0) Options.Year = AYear;
}
void TCustomFFmpeg::SetTrack(int ATrack) {
  Owner.Check(__func__);
  if (ATrack > 0) Options.Track = ATrack;
}
void TCustomFFmpeg::SetStartTime(int64_t AMicroseconds) {
  Owner.Check(__func__);
  if (AMicroseconds > 0) Options.StartTime = AMicroseconds;
}
void TCustomFFmpeg::SetProgramId(int AProgramId) {
  Owner.Check(__func__);
  if (AProgramId >= 0) Options.ProgramId = AProgramId;
}

void TCustomFFmpeg::SetThreadCount(int ACount) {
  Owner.Check(__func__);
  if (ACount < 0) return;
  if (ACount == 0) {
    const long Online = ::sysconf(_SC_NPROCESSORS_ONLN);
    ACount = static_cast<int>(std::clamp<long>(Online, 1, MaxCodecThreads));
  }
  Settings.CodecThreads = ACount;
}

void TCustomFFmpeg::SetHookRanges(const std::vector<THookRange>& ARanges) {
  Owner.Check(__func__);
  Hooks.HookTimeRanges = ARanges;
  std::stable_sort(Hooks.HookTimeRanges.begin(), Hooks.HookTimeRanges.end(),
                   [](const THookRange& A, const THookRange& B) { return A.End < B.End; });
  Hooks.HookRangeIndex = 0;
}

std::string TCustomFFmpeg::FileOpenErrorText(const std::string& AFileName, int ACode) {
  return pelorix::FileOpenErrorText(AFileName, ACode);
}

} // namespace pelorix
