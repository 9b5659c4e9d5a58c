// TVideoFilterGraph: one chain of the filter library's video filters between the decoded
// pictures of an input stream and the encoder of one output stream.
//
//   "src" (buffer source) -> [scale W:H] -> "in" ...filter text... "out" -> format -> "out" (sink)
//
// Pictures enter with their time in microseconds (the engine's clock) and their sample aspect
// ratio, and come back filtered with their time in microseconds. The format step holds the
// sink to the encoder's pixel format, so the encoder never sees another one. Filters that hold
// pictures back (delays, reordering) give them up once the input is closed.
//
// Owner: one graph per re-encoded video output stream (TOutputStream::Filters); freeing the
// graph frees every filter in it. Threads: used only by the run's thread.
#pragma once

#include "MediaObjects.h"

#include <cstdint>
#include <string>

namespace pelorix {

// What the pictures entering a graph look like.
struct TVideoFilterInput {
  int Width = 0;
  int Height = 0;
  AVPixelFormat Format = AV_PIX_FMT_NONE;
  AVRational SampleAspect{0, 1};
};

class TVideoFilterGraph {
public:
  // Builds the chain. AScaleWidth/AScaleHeight not positive: no scale step. An empty AFilters
  // links the scale step (or the source) straight to the format step. AOutputFormat none: the
  // sink takes whatever the filters give. 0, or a negative library error code with no graph.
  int Build(const TVideoFilterInput& AInput, int AScaleWidth, int AScaleHeight,
            const std::string& AFilters, AVPixelFormat AOutputFormat);
  bool Built() const { return Graph != nullptr; }
  // Size of the filtered pictures, once built.
  int OutputWidth() const;
  int OutputHeight() const;

  // Hands a picture to the graph with its time (microseconds) and sample aspect ratio. The
  // graph takes its own reference; APicture is left as it was. A picture of another size or
  // format than the graph was built for is converted to that first. 0 or a negative error.
  int Send(AVFrame& APicture, int64_t APts, AVRational ASampleAspect);
  // Ends the input at APts (microseconds): what the filters hold comes out. Once only.
  int Close(int64_t APts);
  bool Closed() const { return InputClosed; }
  // Takes the next filtered picture into APicture (which must hold none) and its time in
  // APts (microseconds, or no value). 1 when one was taken, 0 when none is ready or the graph
  // has given its last, a negative error otherwise.
  int Receive(AVFrame* APicture, int64_t& APts);

private:
  int Fail(int ACode);
  const AVFrame* Conform(const AVFrame& APicture, int& AResult);

  TFilterGraphPtr Graph;
  AVFilterContext* InputFilter = nullptr; // "src"
  AVFilterContext* OutputFilter = nullptr; // "out"
  TVideoFilterInput Input;
  // Pictures whose size or format differ from Input are converted into Conformed first.
  TScaleContextPtr Converter;
  TFramePtr Conformed;
  bool InputClosed = false;
};

} // namespace pelorix
