// TRunSpans: what a run read from its inputs and wrote to its outputs, as plain values. The
// engine fills them as the run ends (finished, stopped or failed) and keeps them until the
// next run or Reset (TCustomFFmpeg::RunSpans); Cleanup leaves them. A front end compares them with what it
// finds in the output: a stream written short of what was read is an incomplete conversion.
//
// Times are seconds on the run's clock: an input's times after its offset ("itsoffset", and
// the start seek of "ss" given before the input, which puts the seek point at 0). Where a
// start ("ss") or a duration ("t") limits the run, an input stream's span is the part of it
// inside those limits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

namespace pelorix {

// How the reading of one input file ended.
enum class TReadEnd {
  reNotRead, // nothing of it was to be read, or the run failed before it was
  reEndOfFile, // read to its end
  reLimit, // a limit ended the run first: "t", a frame limit, "fs", "shortest"
  reStopped, // the run was stopped
  reReadError, // reading failed before the end of the file; ErrorText says why
  reRunFailed, // the run failed on something else (a write, an encoder) while reading went on
};

// One input stream that fed at least one output.
struct TStreamSpan {
  int32_t StreamIndex = 0; // in its file
  AVMediaType Kind = AVMEDIA_TYPE_UNKNOWN;
  bool AttachedPicture = false; // a cover: one picture, no length of its own
  bool HasSpan = false; // a packet with a time was read (inside the limits)
  // The first packet's presentation time and the last one's end (its time plus its duration);
  // for decoded sound without a start limit, at least as far as the sound its decoder gave.
  double Start = 0, End = 0;
  int64_t Packets = 0; // packets read of it, inside the limits or not
  int64_t FramesDecoded = -1; // pictures or sound blocks its decoder gave; -1: not decoded
  double Duration() const { return HasSpan ? End - Start : 0; }
};

struct TInputSpan {
  std::string FileName;
  TReadEnd ReadEnd = TReadEnd::reNotRead;
  std::string ErrorText; // the library's or the system's reason of a read error
  std::vector<TStreamSpan> Streams; // in stream order
};

// One stream of an output file.
struct TOutputStreamSpan {
  int32_t FileIndex = 0, StreamIndex = 0; // the output file and its stream
  AVMediaType Kind = AVMEDIA_TYPE_UNKNOWN;
  bool Copied = false; // stream copy; else encoded
  int32_t SourceFile = -1, SourceStream = -1; // the input stream that fed it
  // From the first packet written to the end of the last (its time plus its duration).
  double Duration = 0;
  int64_t Packets = 0; // packets handed to the muxer
};

struct TRunSpans {
  std::vector<TInputSpan> Inputs; // one per input file, in the order they were opened
  std::vector<TOutputStreamSpan> Outputs; // output files in order, streams in order
  bool Empty() const { return Inputs.empty() && Outputs.empty(); }
};

} // namespace pelorix
