// The file list's summary of a probed source.
#include "SourceSummary.h"

#include <QStringList>

#include <algorithm>

namespace pelorix {

namespace {

template <size_t N> QString Text(const std::array<char, N>& AField) {
  const auto End = std::find(AField.begin(), AField.end(), '\0');
  return QString::fromUtf8(AField.data(), static_cast<int>(End - AField.begin()));
}

} // namespace

int64_t SourceLengthUS(const TProbeSummary& ASource) {
  int64_t Duration = -1;
  if (ASource.VideoStreamCount > 0) Duration = std::max(Duration, ASource.Video.DurationUS);
  if (ASource.AudioStreamCount > 0) Duration = std::max(Duration, ASource.Audio.DurationUS);
  return Duration;
}

QString SourceSummary(const TProbeSummary& ASource) {
  QStringList Lines;
  const int64_t Duration = SourceLengthUS(ASource);
  if (ASource.VideoStreamCount > 0) {
    const TVideoStreamInfo& Video = ASource.Video;
    Lines << QStringLiteral("Video: %1, %2x%3")
                 .arg(Text(Video.CodecName))
                 .arg(Video.Width)
                 .arg(Video.Height);
  }
  if (ASource.AudioStreamCount > 0) {
    const TAudioStreamInfo& Audio = ASource.Audio;
    Lines << QStringLiteral("Audio: %1, %2 channels, %3 Hz")
                 .arg(Text(Audio.CodecName))
                 .arg(Audio.Channels)
                 .arg(Audio.SampleRate);
  }
  if (Duration >= 0) Lines.prepend(QStringLiteral("Duration: %1 s").arg(Duration / 1e6, 0, 'f', 1));
  return Lines.join(QLatin1Char('\n'));
}

} // namespace pelorix
