// The working tables of one transcode: a record per input file, per input stream and per
// output stream. They exist from the start of the set-up until the transcode ends or fails;
// clearing them (TranscodeCleanup) releases everything the run made for them, so no path can
// leak them. Codec contexts are not owned here: the engine's StreamCodecs own them.
//
// Threads: used only by the run's thread.
#pragma once

#include "AudioOutputStage.h"
#include "ChunkedVideoEncoder.h"
#include "DisplayMatrix.h"
#include "EngineRecords.h"
#include "MediaObjects.h"
#include "PacketWriter.h"
#include "VideoFilterGraph.h"

#include <array>
#include <memory>
#include <vector>

namespace pelorix {

// Pictures sent to a video encoder whose times are kept: more than any encoder's delay.
constexpr size_t SentPicturesKept = 256;

struct TInputStream {
  int32_t FileIndex = 0;
  int32_t StreamIndex = 0;
  AVStream* Stream = nullptr;
  AVCodecContext* Decoder = nullptr; // the engine's decoder context of this stream
  AVRational CodecTimeBase{0, 1}; // the stream's codec time base, stored at input open
  int32_t Discard = 1; // 1 until an output stream takes this input
  int32_t DecodingNeeded = 0;
  bool DecoderOpen = false;
  bool RateEmu = false;
  int64_t RateEmuStart = 0; // microseconds
  int32_t RateEmuFrames = 0;
  int64_t NextPts = AV_NOPTS_VALUE; // microseconds
  int64_t Pts = 0; // microseconds
  int32_t IsStart = 1;
  float Quality = 0; // quality of the last decoded picture
  TFramePtr Frame; // decoded picture or samples, reused for every frame
  // Pictures as they play: decoded pictures turned as the display matrix says, and field-coded
  // ones deinterlaced ("deinterlace_fields"). When either is wanted for a re-encoding output,
  // every decoded picture goes through SourceFilters, and what it gives (into SourcePicture)
  // is what the stream's outputs receive.
  TPictureTurn Turn;
  TVideoFilterGraph SourceFilters;
  TFramePtr SourcePicture;
  // How far the stream's pictures play (microseconds): the last picture's time plus its own
  // duration, and the end of the last packet read, whose picture may be a repeat left uncoded.
  int64_t PictureEnd = AV_NOPTS_VALUE;
  int64_t PacketEnd = AV_NOPTS_VALUE;
  // What was read of the stream (microseconds, the run's clock): the first packet's time and
  // the last one's end inside the run's limits, and the packets read. Decoded streams count
  // the packets that reached the decoder and the frames it gave.
  int64_t SpanStart = AV_NOPTS_VALUE, SpanEnd = AV_NOPTS_VALUE;
  int64_t SpanPackets = 0;
  int64_t PacketsDecoded = 0, FramesDecoded = 0;
  // Microseconds of sound the decoder gave: a packet whose duration a damaged index
  // understates still holds all of it.
  int64_t SoundDecoded = 0;
  // Codecs whose decoder takes one frame a packet (AMR): the parser splits a packet of several
  // frames (phones put five in a sample), each handed to the decoder in FramePacket.
  TParserPtr Parser;
  TPacketPtr FramePacket;
};

struct TOutputStream {
  int32_t FileIndex = 0;
  int32_t StreamIndex = 0;
  int32_t SourceIndex = 0;
  AVStream* Stream = nullptr;
  // The engine's encoder context of this stream; for a copied stream it holds the copied
  // parameters and is never opened.
  AVCodecContext* Encoder = nullptr;
  int32_t EncodingNeeded = 0;
  int32_t FrameNumber = 0;
  TInputStream* SyncStream = nullptr;
  int64_t SyncOpts = 0; // video: frames in the encoder's time base

  // Video.
  // Every picture keeps its own time (in a container that times each picture): nothing is
  // dropped or repeated to fit a rate.
  bool KeepsPictureTimes = false;
  int32_t VideoResample = 0;
  TFramePtr TempPicture;
  TScaleContextPtr ScaleContext;
  int32_t SourceHeight = 0;
  int32_t VideoCrop = 0, CropTop = 0, CropLeft = 0;
  int32_t VideoPad = 0, PadTop = 0, PadBottom = 0, PadLeft = 0, PadRight = 0;
  // The source ScaleContext was made for; width 0 until the first picture asks.
  int32_t ScaleSourceWidth = 0, ScaleSourceHeight = 0;
  AVPixelFormat ScaleSourceFormat = AV_PIX_FMT_NONE;
  bool ScaleByFields = false; // ScaleContext scales one field into one field
  // The encoder may keep references to the pictures it was given: TempPicture is swapped with
  // a spare it has let go of (or a new one) before it is written again.
  std::vector<TFramePtr> SparePictures;
  TFramePtr PictureView; // the decoded picture (or its cropped part) as handed to the encoder
  // The last picture handed to the encoder (PictureView or TempPicture), kept until the next
  // one so that it can show on until the source's pictures end; null before the first.
  AVFrame* LastPicture = nullptr;
  // An encoded picture shows until the next picture sent to the encoder: its packet waits in
  // WaitingPackets (in the encoder's order) until that one is sent, or the stream ends, to
  // learn its duration (the encoder's time base). SentPts: the times of the pictures sent
  // last, a ring. The last picture shows until PicturesEnd, the end of the source's pictures
  // on the encoder's clock, when that is known.
  std::vector<int64_t> SentPts;
  size_t SentPtsNext = 0;
  std::vector<TPacketPtr> WaitingPackets;
  std::vector<TPacketPtr> SparePackets; // emptied packets, reused
  int64_t LastPacketDuration = 1;
  int64_t PicturesEnd = AV_NOPTS_VALUE;
  // Set when the pictures go to several encoders of Encoder's settings, one chunk each; it
  // uses Encoder and must go before Encoder is closed.
  std::unique_ptr<TChunkedVideoEncoder> Chunked;
  // Video filters ("vfilters"): this stream's own graph, fed with the source's pictures, and
  // the filtered picture last taken from it.
  TVideoFilterGraph Filters;
  TFramePtr PicRef;

  // Subtitles: the encoded removal of the last DVB page, held until the next page shows
  // whether it is still due (pts in the stream's time base; no value when none is held).
  std::vector<uint8_t> PendingClear;
  int64_t PendingClearPts = AV_NOPTS_VALUE;

  // Audio: the stage that resamples, keeps the sample clock, queues and encodes; it uses
  // Encoder, which outlives it.
  std::unique_ptr<TAudioOutputStage> Audio;

  TCFilePtr LogFile; // two-pass statistics written in pass 1

  // The stream's bitstream filters and its way into the muxer; made before the header is
  // written.
  std::unique_ptr<TPacketWriter> Writer;
  // Copied video in a container of fixed rate: each picture takes a tick of its own, the one
  // after LastCopiedDts at the earliest (the stream's time base).
  bool OneTickPerPicture = false;
  int64_t LastCopiedDts = AV_NOPTS_VALUE;
  // Copied MPEG-1/2 video with B-pictures: pictures since the last group-of-pictures header,
  // for the presentation times the source leaves out.
  int32_t GopPictures = 0;
  // What the encoder reported with its last video packet.
  float Quality = -1.0f; // in quantiser steps
  char PictureType = '?';
  std::array<uint64_t, 3> FrameErrors{};
};

struct TTranscodeTables {
  std::vector<TInputFile> FileTable;
  std::vector<std::unique_ptr<TInputStream>> InputStreams;
  std::vector<std::unique_ptr<TOutputStream>> OutputStreams;
  TPacketPtr Packet; // the packet being read
  TPacketPtr OutputPacket; // the packet being written
};

} // namespace pelorix
