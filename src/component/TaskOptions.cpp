#include "TaskOptions.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace pelorix {

namespace {

// Leading and trailing characters up to the blank (code 32) go.
std::string Trimmed(const std::string& AText) {
  size_t First = 0, Last = AText.size();
  while (First < Last && static_cast<unsigned char>(AText[First]) <= 32) ++First;
  while (Last > First && static_cast<unsigned char>(AText[Last - 1]) <= 32) --Last;
  return AText.substr(First, Last - First);
}

// CR LF, CR and LF all become one LF.
std::string WithLineFeeds(const std::string& AText) {
  std::string Result;
  Result.reserve(AText.size());
  for (size_t I = 0; I < AText.size(); ++I) {
    if (AText[I] == '\r') {
      Result += '\n';
      if (I + 1 < AText.size() && AText[I + 1] == '\n') ++I;
    } else {
      Result += AText[I];
    }
  }
  return Result;
}

// A whole number with blanks around it, or -1 for anything else.
int64_t RangeNumber(const std::string& AText) {
  const std::string Text = Trimmed(AText);
  if (Text.empty()) return -1;
  errno = 0;
  char* End = nullptr;
  const long long Value = std::strtoll(Text.c_str(), &End, 10);
  if (errno == ERANGE || End != Text.c_str() + Text.size()) return -1;
  return Value;
}

int64_t SaturatedMicroseconds(int64_t AMilliseconds) {
  if (AMilliseconds > INT64_MAX / 1000) return INT64_MAX;
  if (AMilliseconds < INT64_MIN / 1000) return INT64_MIN;
  return AMilliseconds * 1000;
}

void ApplyGeneric(TCustomFFmpeg& AEngine, const char* AName, int32_t AValue) {
  // Whether the installed libraries know the name is theirs to decide; the result is not used.
  if (AValue > 0) AEngine.SetLibraryOption(AName, std::to_string(AValue));
}

void ApplyIfSet(TCustomFFmpeg& AEngine, const char* AName, const std::string& AValue) {
  if (!AValue.empty()) AEngine.SetOption(AName, AValue);
}

void ApplyIfNotNegative(TCustomFFmpeg& AEngine, const char* AName, int32_t AValue) {
  if (AValue >= 0) AEngine.SetOption(AName, std::to_string(AValue));
}

// Milliseconds as the seconds text the "t" option reads, so that the engine sets both the
// recording time and the expected output duration from one value.
std::string SecondsText(int32_t AMilliseconds) {
  const std::string Fraction = std::to_string(AMilliseconds % 1000);
  return std::to_string(AMilliseconds / 1000) + "." + std::string(3 - Fraction.size(), '0') +
         Fraction;
}

void ApplyTimestamp(TCustomFFmpeg& AEngine, double ADays) {
  if (ADays == 0) {
    AEngine.SetRecordingTimestamp(static_cast<int64_t>(std::time(nullptr)));
  } else if (ADays > 0) {
    AEngine.SetRecordingTimestamp(LocalDaysToUnixSeconds(ADays, LocalStandardBiasMinutes()));
  }
}

} // namespace

void InitInputOptions(TInputOptions& AOptions) { AOptions = TInputOptions{}; }
void InitOutputOptions(TOutputOptions& AOptions) { AOptions = TOutputOptions{}; }

std::vector<std::pair<std::string, std::string>> ParseExtOptions(const std::string& AText) {
  std::vector<std::pair<std::string, std::string>> Pairs;
  std::string Rest = WithLineFeeds(Trimmed(AText));
  while (!Rest.empty()) {
    std::string Line;
    const size_t Feed = Rest.find('\n');
    if (Feed == std::string::npos) {
      Line.swap(Rest);
    } else {
      Line = Rest.substr(0, Feed);
      Rest.erase(0, Feed + 1);
    }
    const size_t Equals = Line.find('=');
    if (Equals == std::string::npos)
      Pairs.emplace_back(Line, "");
    else
      Pairs.emplace_back(Line.substr(0, Equals), Line.substr(Equals + 1));
  }
  return Pairs;
}

void ApplyExtOptions(TCustomFFmpeg& AEngine, const std::string& AText) {
  for (const auto& [Name, Value] : ParseExtOptions(AText)) AEngine.SetOption(Name, Value);
}

void ApplyInputOptions(TCustomFFmpeg& AEngine, const TInputOptions& AOptions) {
  ApplyExtOptions(AEngine, AOptions.ExtOptions);
  if (!AOptions.FileFormat.empty()) AEngine.SetInputFormat(AOptions.FileFormat);
  const int64_t Start = static_cast<int64_t>(AOptions.StartTime) * 1000;
  if (Start > 0) AEngine.SetStartTime(Start);
  if (AOptions.ProgramID >= 0) AEngine.SetProgramId(AOptions.ProgramID);
}

uint32_t ResolvePadColor(uint32_t AColor, const TPadColorResolver& AResolver) {
  if ((AColor & 0xFF000000u) == 0) return AColor;
  return AResolver ? AResolver(AColor) & 0x00FFFFFFu : 0;
}

int64_t LocalDaysToUnixSeconds(double ADays, int32_t ABiasMinutes) {
  const double Seconds = std::nearbyint((ADays - 25569.0 + ABiasMinutes / 1440.0) * 86400.0);
  if (!(Seconds < 9.2e18)) return INT64_MAX;
  if (!(Seconds > -9.2e18)) return INT64_MIN;
  return static_cast<int64_t>(Seconds);
}

int32_t LocalStandardBiasMinutes() {
  // glibc keeps the standard-time offset in seconds west of UTC.
  ::tzset();
  return static_cast<int32_t>(::timezone / 60);
}

void ApplyOutputOptions(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions,
                        const TPadColorResolver& AResolver) {
  const TOutputOptions& O = AOptions;
  if (!O.FileFormat.empty()) AEngine.SetOutputFormat(O.FileFormat);
  ApplyGeneric(AEngine, "packetsize", O.PacketSize);
  ApplyGeneric(AEngine, "muxrate", O.MuxRate);
  if (O.MuxDelay > 0) AEngine.SetMuxMaxDelay(O.MuxDelay);
  if (O.MuxPreload > 0) AEngine.SetMuxPreload(O.MuxPreload);

  ApplyIfSet(AEngine, "acodec", O.AudioCodec);
  if (O.DisableAudio) AEngine.SetOption("an", "");
  if (O.AudioVolume >= 0) AEngine.SetAudioVolume(O.AudioVolume);
  if (O.AudioChannels > 0) AEngine.SetOption("ac", std::to_string(O.AudioChannels));
  if (O.AudioSampleRate > 0) AEngine.SetOption("ar", std::to_string(O.AudioSampleRate));
  ApplyGeneric(AEngine, "ab", O.AudioBitrate);
  ApplyGeneric(AEngine, "abt", O.AudioBitrateTolerance);
  AEngine.SetOption("alang", O.AudioLanguage);
  AEngine.SetAudioSyncMethod(O.AudioSyncMethod);
  ApplyIfSet(AEngine, "atag", O.AudioTag);

  ApplyIfSet(AEngine, "vcodec", O.VideoCodec);
  if (O.DisableVideo) AEngine.SetOption("vn", "");
  ApplyIfSet(AEngine, "r", O.FrameRate);
  ApplyIfSet(AEngine, "s", O.FrameSize);
  ApplyIfSet(AEngine, "aspect", O.FrameAspectRatio);
  ApplyIfNotNegative(AEngine, "croptop", O.CropTop);
  ApplyIfNotNegative(AEngine, "cropbottom", O.CropBottom);
  ApplyIfNotNegative(AEngine, "cropleft", O.CropLeft);
  ApplyIfNotNegative(AEngine, "cropright", O.CropRight);
  ApplyIfNotNegative(AEngine, "padtop", O.PadTop);
  ApplyIfNotNegative(AEngine, "padbottom", O.PadBottom);
  ApplyIfNotNegative(AEngine, "padleft", O.PadLeft);
  ApplyIfNotNegative(AEngine, "padright", O.PadRight);
  AEngine.SetOption("padcolor", std::to_string(ResolvePadColor(O.PadColor, AResolver)));
  ApplyGeneric(AEngine, "gop", O.GopSize);
  ApplyGeneric(AEngine, "vb", O.VideoBitrate);
  ApplyGeneric(AEngine, "maxrate", O.VideoMaxRate);
  ApplyGeneric(AEngine, "minrate", O.VideoMinRate);
  ApplyGeneric(AEngine, "bt", O.VideoBitrateTolerance);
  ApplyGeneric(AEngine, "bufsize", O.VideoBufferSize);
  AEngine.SetVideoSyncMethod(O.VideoSyncMethod);
  ApplyIfSet(AEngine, "vtag", O.VideoTag);
  ApplyIfSet(AEngine, "vfilters", O.VideoFilters);

  if (O.DisableSubtitle) AEngine.SetOption("sn", "");
  AEngine.SetOption("slang", O.SubtitleLanguage);
  AEngine.SetCopyTimestamps(O.CopyTimestamps);
  if (O.Duration > 0) AEngine.SetOption("t", SecondsText(O.Duration));
  ApplyTimestamp(AEngine, O.Timestamp);
  AEngine.SetYear(O.Year);
  AEngine.SetTrack(O.Track);
  AEngine.SetTitle(MetaText(O.Title));
  AEngine.SetAuthor(MetaText(O.Author));
  AEngine.SetCopyright(MetaText(O.Copyright));
  AEngine.SetComment(MetaText(O.Comment));
  AEngine.SetAlbum(MetaText(O.Album));
  AEngine.SetGenre(MetaText(O.Genre));
  if (O.ThreadCount >= 0) AEngine.SetThreadCount(O.ThreadCount);
}

std::optional<TTargetChoice> TargetChoiceOf(const TOutputOptions& AOptions) {
  static const char* const Targets[] = {"vcd", "svcd", "dvd"};
  if (AOptions.Target < 1 || AOptions.Target > 3) return std::nullopt;
  const char* Norm = AOptions.Norm == 1 ? "pal" : AOptions.Norm == 2 ? "ntsc" : "auto";
  return TTargetChoice{Targets[AOptions.Target - 1], Norm,
                       AOptions.FallbackNorm == 1 ? "pal" : "ntsc"};
}

void ApplyTarget(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions) {
  if (const auto Choice = TargetChoiceOf(AOptions))
    AEngine.SetTargetPreset(Choice->Target, Choice->Norm, Choice->FallbackNorm);
}

std::vector<THookRange> ParseHookRanges(const std::string& AText) {
  std::vector<THookRange> Ranges;
  std::string Rest = Trimmed(AText);
  while (!Rest.empty()) {
    std::string Item;
    const size_t Comma = Rest.find(',');
    if (Comma == std::string::npos) {
      Item.swap(Rest);
    } else {
      Item = Rest.substr(0, Comma);
      Rest.erase(0, Comma + 1);
    }
    Item = Trimmed(Item);
    const size_t Minus = Item.find('-');
    const int64_t Start = RangeNumber(Item.substr(0, Minus));
    const int64_t End = Minus == std::string::npos ? -1 : RangeNumber(Item.substr(Minus + 1));
    if (End >= Start && End >= 0)
      Ranges.push_back({SaturatedMicroseconds(Start), SaturatedMicroseconds(End)});
  }
  return Ranges;
}

void ApplyHookRanges(TCustomFFmpeg& AEngine, const std::string& AText) {
  AEngine.SetHookRanges(ParseHookRanges(AText));
}

} // namespace pelorix
