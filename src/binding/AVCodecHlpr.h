// Binding unit of the codec library (libavcodec): its entry table and its binding state.
// Engine and probe code call the library only through AVCodec(). Inside namespace pelorix the
// function hides the library's struct of the same name: write ::AVCodec for the type.
#pragma once

#include "EntryTable.h"
#include "LibraryBinding.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#define PELORIX_AVCODEC_ENTRIES(X) \
  X(avcodec_version) \
  X(avcodec_get_class) \
  X(avcodec_alloc_context3) \
  X(avcodec_free_context) \
  X(avcodec_find_encoder_by_name) \
  X(avcodec_find_decoder_by_name)

namespace pelorix {

struct TAVCodecEntries {
  PELORIX_AVCODEC_ENTRIES(PELORIX_DECLARE_ENTRY)
};

extern TAVCodecEntries AVCodecEntries;
inline const TAVCodecEntries& AVCodec() { return AVCodecEntries; }
TLibraryBinding& AVCodecLibrary();

} // namespace pelorix
