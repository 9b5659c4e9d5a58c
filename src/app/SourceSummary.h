// What the probe found in a source, as the file list's tool tip tells it. GUI thread.
#pragma once

#include "ProbeSummary.h"

#include <QString>

namespace pelorix {

// "Duration: 2.0 s", then "Video: CODEC, WxH" and "Audio: CODEC, N channels, R Hz" for the
// first stream of each kind the source has, one per line.
QString SourceSummary(const TProbeSummary& ASource);

// The source's length in microseconds, its longest stream's; -1 when unknown.
int64_t SourceLengthUS(const TProbeSummary& ASource);

} // namespace pelorix
