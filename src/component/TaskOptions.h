// The task option records: what the application hands the converter for one task's input
// (TInputOptions) and output (TOutputOptions), their "not set" defaults, and their translation
// into engine operations.
//
// The records are plain values; the converter copies them into its task. The Apply functions
// work on an engine that the calling thread configures (the converter's thread, before a run)
// and raise the engine's exceptions unchanged: the steps before a failing one stay applied.
#pragma once

#include "FFmpeg.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelorix {

struct TInputOptions {
  std::string FileName;
  std::string FileFormat;
  int32_t StartTime = -1; // milliseconds
  int32_t ProgramID = -1;
  std::string ExtOptions;
};

using TMetaText = std::array<char, 512>;
using TGenreText = std::array<char, 32>;

struct TOutputOptions {
  std::string FileName;
  std::string FileFormat;
  int32_t PacketSize = -1;
  int32_t MuxRate = -1;
  float MuxDelay = -1.0f; // seconds
  float MuxPreload = -1.0f; // seconds
  std::string AudioCodec;
  bool DisableAudio = false;
  int32_t AudioVolume = -1;
  int32_t AudioChannels = -1;
  int32_t AudioSampleRate = -1;
  int32_t AudioBitrate = -1;
  int32_t AudioBitrateTolerance = -1;
  std::string AudioLanguage;
  int32_t AudioSyncMethod = 0;
  std::string AudioTag;
  std::string VideoCodec;
  bool DisableVideo = false;
  std::string FrameRate;
  std::string FrameSize;
  std::string FrameAspectRatio;
  int32_t CropTop = -1, CropBottom = -1, CropLeft = -1, CropRight = -1;
  int32_t PadTop = -1, PadBottom = -1, PadLeft = -1, PadRight = -1;
  uint32_t PadColor = 0; // 0x00BBGGRR; a set top byte names a desktop colour
  int32_t GopSize = -1;
  int32_t VideoBitrate = -1;
  int32_t VideoMaxRate = -1;
  int32_t VideoMinRate = -1;
  int32_t VideoBitrateTolerance = -1;
  int32_t VideoBufferSize = -1;
  int32_t VideoSyncMethod = -1;
  std::string VideoTag;
  std::string VideoFilters;
  bool DisableSubtitle = false;
  std::string SubtitleLanguage;
  bool CopyTimestamps = false;
  int32_t Duration = -1; // milliseconds
  double Timestamp = -1.0; // local date-time as days since 30 December 1899; 0 = now
  int32_t Year = -1;
  int32_t Track = -1;
  TMetaText Title{}; // may fill the whole array without a terminating zero
  TMetaText Author{};
  TMetaText Copyright{};
  TMetaText Comment{};
  TMetaText Album{};
  TGenreText Genre{};
  int32_t Target = 0; // 1 "vcd", 2 "svcd", 3 "dvd"
  int32_t Norm = 0; // 1 "pal", 2 "ntsc", else "auto"
  int32_t FallbackNorm = 1; // 1 "pal", else "ntsc"
  bool CustomHook = false;
  bool BeforeHook = false;
  std::string HookRanges;
  std::string ExtOptions;
  // Threads of the task's decoders and encoders (the engine's SetThreadCount): 0 automatic,
  // n >= 1 that many; -1 = not set, the engine's one thread.
  int32_t ThreadCount = -1;
};

void InitInputOptions(TInputOptions& AOptions);
void InitOutputOptions(TOutputOptions& AOptions);

// Copies text into a metadata array, cut to its size; the rest is zero-filled.
template <size_t N> void SetMetaText(std::array<char, N>& AField, const std::string& AText) {
  AField.fill('\0');
  for (size_t I = 0; I < N && I < AText.size(); ++I) AField[I] = AText[I];
}

// The text of a metadata array: up to the first zero character or the end of the array.
template <size_t N> std::string MetaText(const std::array<char, N>& AField) {
  size_t Length = 0;
  while (Length < N && AField[Length] != '\0') ++Length;
  return std::string(AField.data(), Length);
}

// The name/value pairs of an extra-options text, in line order.
std::vector<std::pair<std::string, std::string>> ParseExtOptions(const std::string& AText);
void ApplyExtOptions(TCustomFFmpeg& AEngine, const std::string& AText);

void ApplyInputOptions(TCustomFFmpeg& AEngine, const TInputOptions& AOptions);

// Turns a PadColor with the top byte set (a desktop colour) into 0x00BBGGRR. The window
// supplies one for its toolkit; without one such colours are black.
using TPadColorResolver = std::function<uint32_t(uint32_t AColor)>;
uint32_t ResolvePadColor(uint32_t AColor, const TPadColorResolver& AResolver);

// A local date-time (days since 30 December 1899) as seconds since 1970 UTC, where
// ABiasMinutes is the local zone's standard offset (UTC = local + bias). Halves go to even.
int64_t LocalDaysToUnixSeconds(double ADays, int32_t ABiasMinutes);
// The local zone's standard-time bias in minutes (UTC = local + bias), daylight saving left out.
int32_t LocalStandardBiasMinutes();

void ApplyOutputOptions(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions,
                        const TPadColorResolver& AResolver = nullptr);

struct TTargetChoice {
  std::string Target, Norm, FallbackNorm;
  bool operator==(const TTargetChoice&) const = default;
};
// The preset arguments the record asks for, or none.
std::optional<TTargetChoice> TargetChoiceOf(const TOutputOptions& AOptions);
void ApplyTarget(TCustomFFmpeg& AEngine, const TOutputOptions& AOptions);

// The ranges a hook-ranges text names (microseconds), in text order; invalid pairs dropped.
std::vector<THookRange> ParseHookRanges(const std::string& AText);
void ApplyHookRanges(TCustomFFmpeg& AEngine, const std::string& AText);

} // namespace pelorix
