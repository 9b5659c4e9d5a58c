// Binding unit of the filter library (libavfilter): its entry table and its binding state.
// Engine and probe code call the library only through AVFilter().
#pragma once

#include "EntryTable.h"
#include "LibraryBinding.h"

extern "C" {
#include <libavfilter/avfilter.h>
}

#define PELORIX_AVFILTER_ENTRIES(X) \
  X(avfilter_version) \
  X(avfilter_get_by_name)

namespace pelorix {

struct TAVFilterEntries {
  PELORIX_AVFILTER_ENTRIES(PELORIX_DECLARE_ENTRY)
};

extern TAVFilterEntries AVFilterEntries;
inline const TAVFilterEntries& AVFilter() { return AVFilterEntries; }
TLibraryBinding& AVFilterLibrary();

} // namespace pelorix
