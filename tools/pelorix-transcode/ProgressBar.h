// The driver's progress line on a terminal: percentage, speed against real time and time left.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace pelorix {

class TProgressBar {
public:
  TProgressBar();

  // A text such as "[#######.............]  35%  2.4x  00:07 left", or "... 12.3 s" while the
  // total duration is unknown. ADoneMs and ATotalMs are output times in milliseconds.
  std::string Format(int64_t ADoneMs, int64_t ATotalMs) const;

private:
  std::chrono::steady_clock::time_point Started;
};

} // namespace pelorix
