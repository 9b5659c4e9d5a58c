#include "ProgressBar.h"

#include <algorithm>
#include <cstdio>

namespace pelorix {

TProgressBar::TProgressBar() : Started(std::chrono::steady_clock::now()) {}

std::string TProgressBar::Format(int64_t ADoneMs, int64_t ATotalMs) const {
  const double Elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
  const double Done = std::max<int64_t>(ADoneMs, 0) / 1000.0;
  const double Speed = Elapsed > 0 ? Done / Elapsed : 0;
  char Line[160];
  if (ATotalMs <= 0) {
    std::snprintf(Line, sizeof(Line), "%8.1f s  %5.1fx", Done, Speed);
    return Line;
  }
  constexpr int Width = 30;
  const double Fraction = std::clamp(Done / (ATotalMs / 1000.0), 0.0, 1.0);
  const int Filled = static_cast<int>(Fraction * Width);
  const std::string Bar = std::string(Filled, '#') + std::string(Width - Filled, '.');
  const double Left = Speed > 0 ? (ATotalMs / 1000.0 - Done) / Speed : 0;
  const int LeftSeconds = static_cast<int>(std::max(Left, 0.0) + 0.5);
  std::snprintf(Line, sizeof(Line), "[%s] %3d%%  %5.1fx  %02d:%02d left", Bar.c_str(),
                static_cast<int>(Fraction * 100), Speed, LeftSeconds / 60, LeftSeconds % 60);
  return Line;
}

} // namespace pelorix
