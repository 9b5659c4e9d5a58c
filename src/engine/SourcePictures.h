// The pictures of a decoded stream as they play: the filter text that turns them as the
// stream's display matrix says and deinterlaces field-coded ones, and the size, format and
// sample shape of what comes out of it.
//
// Plain functions without state; any thread.
#pragma once

#include "DisplayMatrix.h"
#include "VideoFilterGraph.h"

#include <string>

namespace pelorix {

// The filter library's text for ATurn, after the deinterlacer when ADeinterlaceFields (which
// deinterlaces only the pictures the decoder marks as field-coded, one picture for one).
// Empty when there is nothing to do.
std::string SourceFilterText(const TPictureTurn& ATurn, bool ADeinterlaceFields);

// Pictures like ADecoded after ATurn: a quarter turn swaps the sides and the sample shape.
TVideoFilterInput TurnedPicture(const TVideoFilterInput& ADecoded, const TPictureTurn& ATurn);

} // namespace pelorix
