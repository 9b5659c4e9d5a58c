// Binding unit of the filter library (libavfilter): its entry table and its binding state.
// Engine and probe code call the library only through AVFilter().
#pragma once

#include "EntryTable.h"
#include "LibraryBinding.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#define PELORIX_AVFILTER_ENTRIES(X) \
  X(avfilter_version) \
  X(avfilter_get_by_name) \
  X(avfilter_graph_alloc) \
  X(avfilter_graph_free) \
  X(avfilter_graph_create_filter) \
  X(avfilter_graph_parse_ptr) \
  X(avfilter_graph_config) \
  X(avfilter_inout_alloc) \
  X(avfilter_inout_free) \
  X(avfilter_link) \
  X(av_buffersrc_add_frame_flags) \
  X(av_buffersrc_close) \
  X(av_buffersink_get_frame) \
  X(av_buffersink_get_w) \
  X(av_buffersink_get_h) \
  X(av_buffersink_get_time_base)

namespace pelorix {

struct TAVFilterEntries {
  PELORIX_AVFILTER_ENTRIES(PELORIX_DECLARE_ENTRY)
};

extern TAVFilterEntries AVFilterEntries;
inline const TAVFilterEntries& AVFilter() { return AVFilterEntries; }
TLibraryBinding& AVFilterLibrary();

} // namespace pelorix
