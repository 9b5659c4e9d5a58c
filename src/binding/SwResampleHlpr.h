// Binding unit of the resampling library (libswresample): its entry table and its binding state.
// Engine and probe code call the library only through SwResample().
#pragma once

#include "EntryTable.h"
#include "LibraryBinding.h"

extern "C" {
#include <libswresample/swresample.h>
}

#define PELORIX_SWRESAMPLE_ENTRIES(X) \
  X(swresample_version) \
  X(swr_free) \
  X(swr_alloc_set_opts2) \
  X(swr_init) \
  X(swr_convert) \
  X(swr_get_out_samples) \
  X(swr_set_compensation) \
  X(swr_set_matrix)

namespace pelorix {

struct TSwResampleEntries {
  PELORIX_SWRESAMPLE_ENTRIES(PELORIX_DECLARE_ENTRY)
};

extern TSwResampleEntries SwResampleEntries;
inline const TSwResampleEntries& SwResample() { return SwResampleEntries; }
TLibraryBinding& SwResampleLibrary();

} // namespace pelorix
