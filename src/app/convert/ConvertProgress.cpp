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

std::string TimeLeft(int64_t ADoneMs, int64_t ATotalMs, double AElapsedSeconds) {
  if (ADoneMs <= 0 || ATotalMs <= 0 || AElapsedSeconds <= 0) return "--:-- left";
  const double Speed = ADoneMs / AElapsedSeconds; // output ms per second
  const int64_t Left =
      static_cast<int64_t>(std::max<double>(ATotalMs - ADoneMs, 0) / Speed / 1000 + 0.5);
  char Text[32];
  std::snprintf(Text, sizeof(Text), "%02lld:%02lld left", static_cast<long long>(Left / 60),
                static_cast<long long>(Left % 60));
  return Text;
}

} // namespace

std::string FileProgressLine(const std::string& AName, int64_t ADoneMs, int64_t ATotalMs,
                             double AElapsedSeconds) {
  const double Speed =
      AElapsedSeconds > 0 ? std::max<int64_t>(ADoneMs, 0) / 1000.0 / AElapsedSeconds : 0;
  char Line[96];
  if (ATotalMs <= 0)
    std::snprintf(Line, sizeof(Line), "%6.1f s  %5.1fx  %10s  ", ADoneMs / 1000.0, Speed, "");
  else
    std::snprintf(Line, sizeof(Line), "  %3d%%   %5.1fx  %s  ", Percent(ADoneMs, ATotalMs), Speed,
                  TimeLeft(ADoneMs, ATotalMs, AElapsedSeconds).c_str());
  return Line + AName;
}

std::string TotalProgressLine(int AEnded, int ACount, int64_t ADoneMs, int64_t ATotalMs,
                              double AElapsedSeconds) {
  char Line[128];
  std::snprintf(Line, sizeof(Line), "total %3d%%  %d of %d files ended  %s",
                Percent(ADoneMs, ATotalMs), AEnded, ACount,
                TimeLeft(ADoneMs, ATotalMs, AElapsedSeconds).c_str());
  return Line;
}

} // namespace pelorix
