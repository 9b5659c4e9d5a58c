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
    // The stream asked for, or the longest of its kind (a cover picture is no video).
    bool Found = false;
    double Have = -1;
    for (int32_t Index = 0; Index < Probe.StreamCount(); ++Index) {
      if (Expected.StreamIndex >= 0 && Index != Expected.StreamIndex) continue;
      if (Probe.StreamKind(Index) != Expected.Kind) continue;
      if (Expected.Kind == AVMEDIA_TYPE_VIDEO && IsPictureStream(Probe, Index)) continue;
      // A stream without a packet holds nothing of its kind.
      if (static_cast<size_t>(Index) >= Spans.size() || Spans[static_cast<size_t>(Index)] < 0)
        continue;
      Found = true;
      Have = std::max(Have, Spans[static_cast<size_t>(Index)]);
    }
    if (!Found) return std::string("the output holds no ") + KindText(Expected.Kind);
    if (Expected.Seconds < 0) continue;
    if (std::fabs(Have - Expected.Seconds) > OutputTolerance(Expected.Seconds))
      return "the output holds " + Seconds(Have) + " of " + Seconds(Expected.Seconds) + " s of " +
             KindText(Expected.Kind);
  }
  return {};
}

} // namespace pelorix
