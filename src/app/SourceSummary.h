// What the probe found in a source, as the file list's tool tip tells it. GUI thread.
#pragma once

#include "AVProbe.h"

#include <QString>

namespace pelorix {

// "Duration: 2.0 s", then "Video: CODEC, WxH" and "Audio: CODEC, N channels, R Hz" for the
// first stream of each kind the open probe has, one per line.
QString SourceSummary(const TAVProbe& AProbe);

} // namespace pelorix
