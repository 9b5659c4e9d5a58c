#include "OutputCheck.h"

#include "AVProbe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace pelorix {

namespace {

const char* KindText(AVMediaType AKind) { return AKind == AVMEDIA_TYPE_AUDIO ? "audio" : "video"; }

std::string Seconds(double AValue) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f", AValue);
  return Text;
}

bool IsPictureStream(const TAVProbe& AProbe, int32_t AIndex) {
  TVideoStreamInfo Info;
  AProbe.VideoStreamInfo(AIndex, Info);
  return Info.AttachedPicture;
}

const TStreamSpan* ReadSpanOf(const TRunSpans& ARun, int32_t AFile, int32_t AStream) {
  if (AFile < 0 || static_cast<size_t>(AFile) >= ARun.Inputs.size()) return nullptr;
  for (const TStreamSpan& Span : ARun.Inputs[static_cast<size_t>(AFile)].Streams)
    if (Span.StreamIndex == AStream) return &Span;
  return nullptr;
}

} // namespace

double OutputTolerance(double ASeconds) { return std::max(0.5, 0.02 * ASeconds); }

std::string OutputShortfall(const std::string& AFileName,
                            const std::vector<TExpectedStream>& AExpected) {
  TAVProbe Probe;
  if (!Probe.Open(AFileName)) return "the output does not open as media: " + Probe.LastError();
  // What each stream holds, from its packets: a header's length can be wrong.
  const std::vector<double> Spans = Probe.ReadStreamSpans();
  for (const TExpectedStream& Expected : AExpected) {
    if (Expected.Kind != AVMEDIA_TYPE_AUDIO && Expected.Kind != AVMEDIA_TYPE_VIDEO) continue;
    // The stream asked for, or the longest of its kind (a cover picture is no video). Some
    // containers (MPEG program streams) number their streams as they first meet them on
    // reading, not as they were written: a number that holds no stream of the kind is no
    // guide.
    const int32_t Wanted = Expected.StreamIndex >= 0 &&
                                   Expected.StreamIndex < Probe.StreamCount() &&
                                   Probe.StreamKind(Expected.StreamIndex) == Expected.Kind
                               ? Expected.StreamIndex
                               : -1;
    bool Found = false;
    double Have = -1;
    for (int32_t Index = 0; Index < Probe.StreamCount(); ++Index) {
      if (Wanted >= 0 && Index != Wanted) continue;
      if (Probe.StreamKind(Index) != Expected.Kind) continue;
      if (Expected.Kind == AVMEDIA_TYPE_VIDEO && IsPictureStream(Probe, Index)) continue;
      // A stream without a packet holds nothing of its kind.
      if (static_cast<size_t>(Index) >= Spans.size() || Spans[static_cast<size_t>(Index)] < 0)
        continue;
      Found = true;
      Have = std::max(Have, Spans[static_cast<size_t>(Index)]);
    }
    // Less than the tolerance was read: none of it is within the tolerance too.
    if (!Found && Expected.Seconds >= 0 && Expected.Seconds <= OutputTolerance(Expected.Seconds))
      continue;
    if (!Found) return std::string("the output holds no ") + KindText(Expected.Kind);
    if (Expected.Seconds < 0) continue;
    const double Tolerance = OutputTolerance(Expected.Seconds);
    if (Have < Expected.Seconds - Tolerance ||
        Have > Expected.Seconds + Tolerance + std::max(0.0, Expected.MayRunOver))
      return "the output holds " + Seconds(Have) + " of " + Seconds(Expected.Seconds) + " s of " +
             KindText(Expected.Kind);
  }
  return {};
}

std::vector<TExpectedStream> ExpectedOutput(const TOutputSetting& ASetting, const TRunSpans& ARun,
                                            int32_t AOutputFile) {
  // The length the source showed at the add, within a duration limit.
  const auto Shown = [&](int64_t AMicroseconds) {
    if (!ASetting.SourceChanged || AMicroseconds <= 0) return -1.0;
    double Seconds = static_cast<double>(AMicroseconds) / 1e6;
    if (ASetting.LimitSeconds > 0) Seconds = std::min(Seconds, ASetting.LimitSeconds);
    return Seconds;
  };
  const bool RunKnown =
      std::any_of(ARun.Outputs.begin(), ARun.Outputs.end(), [&](const TOutputStreamSpan& AStream) {
        return AStream.FileIndex == AOutputFile;
      });
  const TProbeSummary& Source = ASetting.Source;
  std::vector<TExpectedStream> Expected;
  // Without the run's streams, a stream of each kind the source has; when the source changed,
  // as long as it was.
  if (!RunKnown || ASetting.SourceChanged) {
    if (Source.AudioStreamCount > 0 && !ASetting.DropsAudio)
      Expected.push_back({AVMEDIA_TYPE_AUDIO, -1, Shown(Source.Audio.DurationUS)});
    if (Source.VideoStreamCount > 0 && !Source.Video.AttachedPicture && !ASetting.DropsVideo)
      Expected.push_back({AVMEDIA_TYPE_VIDEO, -1, Shown(Source.Video.DurationUS)});
  }
  // A stream read without a time inside the limits (all of it before a start, after a
  // duration, or without times) may rightly be empty.
  for (const TOutputStreamSpan& Output : ARun.Outputs) {
    if (Output.FileIndex != AOutputFile) continue;
    if (Output.Kind != AVMEDIA_TYPE_AUDIO && Output.Kind != AVMEDIA_TYPE_VIDEO) continue;
    const TStreamSpan* Read = ReadSpanOf(ARun, Output.SourceFile, Output.SourceStream);
    if (!Read || !Read->HasSpan || Read->AttachedPicture) continue;
    Expected.push_back({Output.Kind, Output.StreamIndex, Read->Duration(),
                        Output.Kind == AVMEDIA_TYPE_VIDEO ? MaxHeldPictureSeconds : 0});
  }
  return Expected;
}

std::string RunOutputShortfall(const std::string& AFileName, const TOutputSetting& ASetting,
                               const TRunSpans& ARun, int32_t AOutputFile) {
  return OutputShortfall(AFileName, ExpectedOutput(ASetting, ARun, AOutputFile));
}

} // namespace pelorix
