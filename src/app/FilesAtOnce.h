// How many files a run converts at once. An entry whose encoders use one core each (the
// audio entries) converts as many files at once as there are processors; the video entries'
// encoders spread one file over every core themselves (their own threads, or the engine's
// chunk encoders for MPEG-4), so their files go one at a time. Any thread.
#pragma once

#include "OutputFormats.h"

namespace pelorix {

int FilesAtOnce(const TOutputFormat& AFormat, int AProcessors);

} // namespace pelorix
