// Binding unit of the format library (libavformat): its entry table and its binding state.
// Engine and probe code call the library only through AVFormat().
#pragma once

#include "EntryTable.h"
#include "LibraryBinding.h"

extern "C" {
#include <libavformat/avformat.h>
}

#define PELORIX_AVFORMAT_ENTRIES(X) \
  X(avformat_version) \
  X(avformat_get_class) \
  X(avformat_alloc_context) \
  X(avformat_free_context) \
  X(avformat_alloc_output_context2) \
  X(avformat_close_input) \
  X(avio_open) \
  X(avio_closep) \
  X(av_find_input_format) \
  X(av_guess_format)

namespace pelorix {

struct TAVFormatEntries {
  PELORIX_AVFORMAT_ENTRIES(PELORIX_DECLARE_ENTRY)
};

extern TAVFormatEntries AVFormatEntries;
inline const TAVFormatEntries& AVFormat() { return AVFormatEntries; }
TLibraryBinding& AVFormatLibrary();

} // namespace pelorix
