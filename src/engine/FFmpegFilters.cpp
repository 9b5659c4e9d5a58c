// The video filter graph between a decoded picture and its encoder.
#include "FFmpeg.h"

namespace pelorix {

int TCustomFFmpeg::BuildVideoFilters(TInputStream&, TOutputStream&) {
  Run.LastErrorText = "video filters are not available in this build";
  return -1;
}

} // namespace pelorix
