// Output option records for a task.
#include "OutputPlan.h"

#include "FormatEntry.h"

#include <array>
#include <cstdlib>

namespace pelorix {

namespace {
constexpr int32_t VideoBitrate = 1500000;
constexpr int32_t Mp3MaxChannels = 2;
constexpr std::array<int32_t, 9> Mp3SampleRates = {8000,  11025, 12000, 16000, 22050,
                                                   24000, 32000, 44100, 48000};
} // namespace

TSourceFacts SourceFactsOf(const TAVProbe& AProbe) {
  TSourceFacts Facts;
  Facts.OpenedFileName = QString::fromStdString(AProbe.OpenedFileName());
  Facts.HasVideo = AProbe.FirstVideoStream() >= 0;
  if (AProbe.FirstAudioStream() >= 0) AProbe.AudioStreamInfo(-1, Facts.Audio);
  if (Facts.HasVideo) AProbe.VideoStreamInfo(-1, Facts.Video);
  return Facts;
}

int32_t NearestMp3SampleRate(int32_t ARate) {
  if (ARate <= 0) return ARate;
  int32_t Best = Mp3SampleRates.front();
  for (const int32_t Rate : Mp3SampleRates)
    if (std::abs(Rate - ARate) < std::abs(Best - ARate)) Best = Rate;
  return Best;
}

TOutputOptions MakeOutputOptions(const QString& AEntryText, const TSourceFacts& ASource) {
  const TFormatEntry Entry = ParseFormatEntry(AEntryText);
  TOutputOptions Options;
  InitOutputOptions(Options);

  // A source without a video stream (any file may be added) gets none either.
  if (IsAudioExtension(Entry.Extension) || IsAudioExtension(ExtensionOf(ASource.OpenedFileName)) ||
      !ASource.HasVideo)
    Options.DisableVideo = true;

  const bool Xvid = AEntryText == XvidEntryText;
  if (Xvid) {
    Options.VideoCodec = "libxvid";
    Options.AudioCodec = "libmp3lame";
  }

  Options.AudioChannels = ASource.Audio.Channels;
  Options.AudioSampleRate = ASource.Audio.SampleRate;
  Options.AudioBitrate = ASource.Audio.BitRate;
  if (Xvid) {
    // The MP3 encoder refuses more than two channels and rates outside its table.
    if (Options.AudioChannels > Mp3MaxChannels) Options.AudioChannels = Mp3MaxChannels;
    Options.AudioSampleRate = NearestMp3SampleRate(Options.AudioSampleRate);
  }

  if (!Options.DisableVideo) {
    // The encoders take even sizes only: an odd line or column is left out rather than the
    // whole file refused. An unknown size is left to the engine.
    const int32_t Width = ASource.Video.Width & ~1, Height = ASource.Video.Height & ~1;
    if (Width > 0 && Height > 0) Options.FrameSize = std::to_string(Width) + "x" + std::to_string(Height);
    Options.VideoBitrate = VideoBitrate;
  }
  return Options;
}

} // namespace pelorix
