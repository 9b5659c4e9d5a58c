// printf-style formatting of the engine's fixed texts, through the support library's snprintf.
// The numeric locale is the C locale's, so decimal points read the same everywhere.
#pragma once

#include "MyUtilHlpr.h"

#include <string>

namespace pelorix {

template <class... TArgs> std::string FormatText(const char* AFormat, TArgs... AArgs) {
  char Small[256];
  const int Length = MyUtil().my_snprintf(Small, sizeof Small, AFormat, AArgs...);
  if (Length < 0) return {};
  if (static_cast<size_t>(Length) < sizeof Small) return std::string(Small, Length);
  std::string Text(static_cast<size_t>(Length), '\0');
  MyUtil().my_snprintf(Text.data(), Text.size() + 1, AFormat, AArgs...);
  return Text;
}

} // namespace pelorix
