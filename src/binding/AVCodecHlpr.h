// Binding unit of the codec library (libavcodec): its entry table and its binding state.
// Engine and probe code call the library only through AVCodec(). Inside namespace pelorix the
// function hides the library's struct of the same name: write ::AVCodec for the type.
#pragma once

#include "EntryTable.h"
#include "LibraryBinding.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
}

#define PELORIX_AVCODEC_ENTRIES(X) \
  X(avcodec_version) \
  X(avcodec_get_class) \
  X(av_bsf_get_by_name) \
  X(avcodec_alloc_context3) \
  X(avcodec_free_context) \
  X(avcodec_find_encoder_by_name) \
  X(avcodec_find_decoder_by_name) \
  X(avcodec_get_name) \
  X(avcodec_find_decoder) \
  X(avcodec_find_encoder) \
  X(avcodec_parameters_to_context) \
  X(avcodec_descriptor_get) \
  X(av_packet_alloc) \
  X(av_packet_free) \
  X(av_bsf_free) \
  X(avcodec_parameters_copy) \
  X(avcodec_parameters_from_context) \
  X(avcodec_open2) \
  X(avcodec_close) \
  X(av_bsf_alloc) \
  X(av_bsf_init) \
  X(av_bsf_send_packet) \
  X(av_bsf_receive_packet) \
  X(avcodec_send_packet) \
  X(avcodec_receive_frame) \
  X(avcodec_send_frame) \
  X(avcodec_receive_packet) \
  X(avcodec_decode_subtitle2) \
  X(av_parser_init) \
  X(av_parser_parse2) \
  X(av_parser_close) \
  X(avsubtitle_free) \
  X(av_packet_ref) \
  X(av_packet_unref) \
  X(av_packet_rescale_ts) \
  X(av_packet_get_side_data) \
  X(avcodec_encode_subtitle) \
  X(av_packet_move_ref)

namespace pelorix {

struct TAVCodecEntries {
  PELORIX_AVCODEC_ENTRIES(PELORIX_DECLARE_ENTRY)
};

extern TAVCodecEntries AVCodecEntries;
inline const TAVCodecEntries& AVCodec() { return AVCodecEntries; }
TLibraryBinding& AVCodecLibrary();

} // namespace pelorix
