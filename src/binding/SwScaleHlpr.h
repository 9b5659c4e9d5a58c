// Binding unit of the scaling library (libswscale): its entry table and its binding state.
// Engine and probe code call the library only through SwScale().
#pragma once

#include "EntryTable.h"
#include "LibraryBinding.h"

extern "C" {
#include <libswscale/swscale.h>
}

#define PELORIX_SWSCALE_ENTRIES(X) \
  X(swscale_version) \
  X(sws_getContext) \
  X(sws_freeContext) \
  X(sws_getCachedContext) \
  X(sws_scale)

namespace pelorix {

struct TSwScaleEntries {
  PELORIX_SWSCALE_ENTRIES(PELORIX_DECLARE_ENTRY)
};

extern TSwScaleEntries SwScaleEntries;
inline const TSwScaleEntries& SwScale() { return SwScaleEntries; }
TLibraryBinding& SwScaleLibrary();

} // namespace pelorix
