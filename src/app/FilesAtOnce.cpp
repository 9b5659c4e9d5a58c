// The files a run converts at once.
#include "FilesAtOnce.h"

#include <algorithm>

namespace pelorix {

int FilesAtOnce(const TOutputFormat& AFormat, int AProcessors) {
  return AFormat.AudioOnly ? std::max(1, AProcessors) : 1;
}

} // namespace pelorix
