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
  X(av_guess_format) \
  X(avformat_query_codec) \
  X(avformat_open_input) \
  X(avformat_find_stream_info) \
  X(av_probe_input_buffer2) \
  X(av_seek_frame) \
  X(av_dump_format) \
  X(av_stream_get_codec_timebase) \
  X(av_stream_new_side_data) \
  X(av_stream_get_side_data) \
  X(avformat_new_stream) \
  X(av_guess_codec) \
  X(av_filename_number_test) \
  X(av_codec_get_id) \
  X(av_codec_get_tag) \
  X(avformat_write_header) \
  X(av_write_trailer) \
  X(av_sdp_create) \
  X(av_read_frame) \
  X(av_pkt_dump_log2) \
  X(avio_seek) \
  X(avio_size) \
  X(av_interleaved_write_frame) \
  X(av_demuxer_iterate)

namespace pelorix {

struct TAVFormatEntries {
  PELORIX_AVFORMAT_ENTRIES(PELORIX_DECLARE_ENTRY)
};

extern TAVFormatEntries AVFormatEntries;
inline const TAVFormatEntries& AVFormat() { return AVFormatEntries; }
TLibraryBinding& AVFormatLibrary();

} // namespace pelorix
