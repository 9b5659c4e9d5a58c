#include "ConvertProgress.h"

#include <algorithm>
#include <cstdio>

namespace pelorix {

namespace {

// Whole percent, rounded down, within 0..100.
int Percent(int64_t ADone, int64_t ATotal) {
  if (ATotal <= 0) return 0;
  return static_cast<int>(std::clamp<int64_t>(std::max<int64_t>(ADone, 0) * 100 / ATotal, 0, 100));
}

std::string TimeLeft(int64_t ADoneMs, int64_t ATotalMs, double ASpeed) {
  if (ATotalMs <= 0 || ASpeed <= 0) return "--:-- left";
  const int64_t Left =
      static_cast<int64_t>(std::max<double>(ATotalMs - ADoneMs, 0) / 1000 / ASpeed + 0.5);
  char Text[32];
  std::snprintf(Text, sizeof(Text), "%02lld:%02lld left", static_cast<long long>(Left / 60),
                static_cast<long long>(Left % 60));
  return Text;
}

// Output seconds per second, from AMeasuredMs written in AElapsedSeconds; 0 (unknown) before
// MinMeasureSeconds.
double MeasuredSpeed(int64_t AMeasuredMs, double AElapsedSeconds) {
  if (AElapsedSeconds < MinMeasureSeconds || AMeasuredMs <= 0) return 0;
  return AMeasuredMs / 1000.0 / AElapsedSeconds;
}

std::string SpeedText(double ASpeed) {
  if (ASpeed <= 0) return "      ";
  char Text[32];
  std::snprintf(Text, sizeof(Text), "%5.1fx", ASpeed);
  return Text;
}

} // namespace

std::string FileProgressLine(const std::string& AName, int64_t ADoneMs, int64_t ATotalMs,
                             double AElapsedSeconds, int64_t AFirstDoneMs) {
  const double Speed = MeasuredSpeed(ADoneMs - AFirstDoneMs, AElapsedSeconds);
  char Line[96];
  if (ATotalMs <= 0)
    std::snprintf(Line, sizeof(Line), "%6.1f s  %s  %10s  ", ADoneMs / 1000.0,
                  SpeedText(Speed).c_str(), "");
  else
    std::snprintf(Line, sizeof(Line), "  %3d%%   %s  %s  ", Percent(ADoneMs, ATotalMs),
                  SpeedText(Speed).c_str(), TimeLeft(ADoneMs, ATotalMs, Speed).c_str());
  return Line + AName;
}

std::string TotalProgressLine(int AEnded, int ACount, int64_t ADoneMs, int64_t ATotalMs,
                              double AElapsedSeconds) {
  char Line[128];
  std::snprintf(Line, sizeof(Line), "total %3d%%  %d of %d files ended  %s",
                Percent(ADoneMs, ATotalMs), AEnded, ACount,
                TimeLeft(ADoneMs, ATotalMs, MeasuredSpeed(ADoneMs, AElapsedSeconds)).c_str());
  return Line;
}

} // namespace pelorix
