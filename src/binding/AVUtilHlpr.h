// Binding unit of the utility library (libavutil): its entry table and its binding state.
// Engine and probe code call the library only through AVUtil().
#pragma once

#include "EntryTable.h"
#include "LibraryBinding.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
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
  X(av_parse_time) \
  X(av_parse_video_size) \
  X(av_parse_video_rate) \
  X(av_get_pix_fmt) \
  X(av_get_pix_fmt_string) \
  X(av_get_sample_fmt) \
  X(av_get_sample_fmt_string) \
  X(av_opt_find) \
  X(av_opt_set) \
  X(av_opt_get) \
  X(av_opt_get_int) \
  X(av_opt_set_defaults2) \
  X(av_dict_set) \
  X(av_dict_get) \
  X(av_rescale_q) \
  X(av_dict_free) \
  X(av_d2q) \
  X(av_display_rotation_get) \
  X(av_find_nearest_q_idx) \
  X(av_memdup) \
  X(av_get_pix_fmt_name) \
  X(av_channel_layout_default) \
  X(av_channel_layout_describe) \
  X(av_channel_layout_uninit) \
  X(av_frame_alloc) \
  X(av_frame_free) \
  X(av_audio_fifo_free) \
  X(av_gettime) \
  X(av_audio_fifo_alloc) \
  X(av_frame_get_buffer) \
  X(av_frame_unref) \
  X(av_rescale) \
  X(av_get_picture_type_char) \
  X(av_audio_fifo_write) \
  X(av_audio_fifo_read) \
  X(av_audio_fifo_size) \
  X(av_samples_set_silence) \
  X(av_get_bytes_per_sample) \
  X(av_sample_fmt_is_planar) \
  X(av_get_sample_fmt_name) \
  X(av_channel_layout_copy) \
  X(av_channel_layout_compare) \
  X(av_frame_make_writable) \
  X(av_opt_set_int) \
  X(av_pix_fmt_desc_get) \
  X(av_pix_fmt_count_planes) \
  X(av_image_copy) \
  X(av_image_get_linesize) \
  X(av_frame_is_writable) \
  X(av_buffer_ref) \
  X(av_buffer_unref) \
  X(av_frame_ref) \
  X(av_frame_copy) \
  X(av_opt_copy) \
  X(av_image_get_buffer_size)

namespace pelorix {

struct TAVUtilEntries {
  PELORIX_AVUTIL_ENTRIES(PELORIX_DECLARE_ENTRY)
};

extern TAVUtilEntries AVUtilEntries;
inline const TAVUtilEntries& AVUtil() { return AVUtilEntries; }
TLibraryBinding& AVUtilLibrary();

} // namespace pelorix
