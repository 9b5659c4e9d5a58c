// Binding unit of the utility library (libavutil): its entry table and its binding state.
// Engine and probe code call the library only through AVUtil().
#pragma once

#include "EntryTable.h"
#include "LibraryBinding.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/error.h>
}

#define PELORIX_AVUTIL_ENTRIES(X) \
  X(avutil_version) \
  X(av_log_set_callback) \
  X(av_log_default_callback) \
  X(av_log_get_level) \
  X(av_log_set_level) \
  X(av_log) \
  X(av_strdup) \
  X(av_malloc) \
  X(av_mallocz) \
  X(av_realloc) \
  X(av_free) \
  X(av_freep) \
  X(av_strerror) \
  X(av_opt_find) \
  X(av_opt_set) \
  X(av_opt_get) \
  X(av_opt_get_int) \
  X(av_opt_set_defaults2) \
  X(av_dict_set) \
  X(av_dict_get) \
  X(av_dict_free)

namespace pelorix {

struct TAVUtilEntries {
  PELORIX_AVUTIL_ENTRIES(PELORIX_DECLARE_ENTRY)
};

extern TAVUtilEntries AVUtilEntries;
inline const TAVUtilEntries& AVUtil() { return AVUtilEntries; }
TLibraryBinding& AVUtilLibrary();

} // namespace pelorix
