// TVideoFilterGraph; see VideoFilterGraph.h.
#include "VideoFilterGraph.h"

namespace pelorix {

namespace {

// The engine's clock: pictures enter with their time in microseconds.
constexpr AVRational MicrosecondBase{1, AV_TIME_BASE};

AVFilterContext* NewFilter(AVFilterGraph* AGraph, const char* AFilter, const char* AName,
                           const char* AArguments, int& AResult) {
  const ::AVFilter* Filter = AVFilter().avfilter_get_by_name(AFilter);
  if (!Filter) {
    AResult = AVERROR_FILTER_NOT_FOUND;
    return nullptr;
  }
  AVFilterContext* Context = nullptr;
  AResult =
      AVFilter().avfilter_graph_create_filter(&Context, Filter, AName, AArguments, nullptr, AGraph);
  return AResult < 0 ? nullptr : Context;
}

// One open end of the filter text: the label ALabel stands for pad 0 of AFilter.
TFilterInOutPtr OpenEnd(const char* ALabel, AVFilterContext* AFilter) {
  TFilterInOutPtr End(AVFilter().avfilter_inout_alloc());
  if (!End) return nullptr;
  End->name = AVUtil().av_strdup(ALabel);
  End->filter_ctx = AFilter;
  End->pad_idx = 0;
  End->next = nullptr;
  if (!End->name) return nullptr;
  return End;
}

} // namespace

// A half-built graph is not kept: Built() tells whether pictures can go through.
int TVideoFilterGraph::Fail(int ACode) {
  Graph.reset();
  InputFilter = OutputFilter = nullptr;
  return ACode < 0 ? ACode : AVERROR(EINVAL);
}

int TVideoFilterGraph::Build(const TVideoFilterInput& AInput, int AScaleWidth, int AScaleHeight,
                             const std::string& AFilters, AVPixelFormat AOutputFormat) {
  Graph.reset();
  InputFilter = OutputFilter = nullptr;
  Converter.reset();
  Conformed.reset();
  InputClosed = false;
  Input = AInput;
  Graph.reset(AVFilter().avfilter_graph_alloc());
  if (!Graph) return AVERROR(ENOMEM);

  // The source describes the pictures it will be given; their times count microseconds.
  char Arguments[256];
  const AVRational Aspect = AInput.SampleAspect.den > 0 && AInput.SampleAspect.num >= 0
                                ? AInput.SampleAspect
                                : AVRational{0, 1};
  MyUtil().my_snprintf(Arguments, sizeof Arguments,
                       "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                       AInput.Width, AInput.Height, static_cast<int>(AInput.Format),
                       MicrosecondBase.num, MicrosecondBase.den, Aspect.num, Aspect.den);
  int Result = 0;
  InputFilter = NewFilter(Graph.get(), "buffer", "src", Arguments, Result);
  if (!InputFilter) return Fail(Result);
  OutputFilter = NewFilter(Graph.get(), "buffersink", "out", nullptr, Result);
  if (!OutputFilter) return Fail(Result);

  AVFilterContext* Last = InputFilter;
  if (AScaleWidth > 0 && AScaleHeight > 0) {
    MyUtil().my_snprintf(Arguments, sizeof Arguments, "%d:%d", AScaleWidth, AScaleHeight);
    AVFilterContext* Scale = NewFilter(Graph.get(), "scale", nullptr, Arguments, Result);
    if (!Scale) return Fail(Result);
    if ((Result = AVFilter().avfilter_link(Last, 0, Scale, 0)) < 0) return Fail(Result);
    Last = Scale;
  }

  // The sink's input: a format step when the encoder wants one pixel format. The sink's own
  // format list can only be set through a header helper that calls unbound library functions.
  AVFilterContext* End = OutputFilter;
  const char* FormatName =
      AOutputFormat >= 0 ? AVUtil().av_get_pix_fmt_name(AOutputFormat) : nullptr;
  if (FormatName) {
    AVFilterContext* Format = NewFilter(Graph.get(), "format", nullptr, FormatName, Result);
    if (!Format) return Fail(Result);
    if ((Result = AVFilter().avfilter_link(Format, 0, OutputFilter, 0)) < 0) return Fail(Result);
    End = Format;
  }

  if (!AFilters.empty()) {
    // "in" is what the text reads (the scale step or the source), "out" what it feeds.
    TFilterInOutPtr Outputs = OpenEnd("in", Last);
    TFilterInOutPtr Inputs = OpenEnd("out", End);
    if (!Outputs || !Inputs) return Fail(AVERROR(ENOMEM));
    AVFilterInOut* InputsLeft = Inputs.release();
    AVFilterInOut* OutputsLeft = Outputs.release();
    Result = AVFilter().avfilter_graph_parse_ptr(Graph.get(), AFilters.c_str(), &InputsLeft,
                                                 &OutputsLeft, nullptr);
    Inputs.reset(InputsLeft);
    Outputs.reset(OutputsLeft);
    if (Result < 0) return Fail(Result);
  } else if ((Result = AVFilter().avfilter_link(Last, 0, End, 0)) < 0) {
    return Fail(Result);
  }

  if ((Result = AVFilter().avfilter_graph_config(Graph.get(), nullptr)) < 0) return Fail(Result);
  return 0;
}

int TVideoFilterGraph::OutputWidth() const {
  return OutputFilter ? AVFilter().av_buffersink_get_w(OutputFilter) : 0;
}

int TVideoFilterGraph::OutputHeight() const {
  return OutputFilter ? AVFilter().av_buffersink_get_h(OutputFilter) : 0;
}

// The picture as the source was told to expect it. The filters after the source trust the
// size given when the graph was built, so a decoder that changes size within a stream must
// not hand them a larger picture.
const AVFrame* TVideoFilterGraph::Conform(const AVFrame& APicture, int& AResult) {
  AResult = 0;
  if (APicture.width == Input.Width && APicture.height == Input.Height &&
      APicture.format == Input.Format)
    return &APicture;
  Converter.reset(SwScale().sws_getCachedContext(
      Converter.release(), APicture.width, APicture.height,
      static_cast<AVPixelFormat>(APicture.format), Input.Width, Input.Height, Input.Format,
      SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!Converter) {
    AResult = AVERROR(EINVAL);
    return nullptr;
  }
  // The graph may still hold the last conversion: then a new buffer is taken.
  if (!Conformed) Conformed.reset(AVUtil().av_frame_alloc());
  if (!Conformed) {
    AResult = AVERROR(ENOMEM);
    return nullptr;
  }
  if (!Conformed->buf[0] || !AVUtil().av_frame_is_writable(Conformed.get())) {
    AVUtil().av_frame_unref(Conformed.get());
    Conformed->format = Input.Format;
    Conformed->width = Input.Width;
    Conformed->height = Input.Height;
    if ((AResult = AVUtil().av_frame_get_buffer(Conformed.get(), 0)) < 0) return nullptr;
  }
  SwScale().sws_scale(Converter.get(), APicture.data, APicture.linesize, 0, APicture.height,
                      Conformed->data, Conformed->linesize);
  return Conformed.get();
}

int TVideoFilterGraph::Send(AVFrame& APicture, int64_t APts, AVRational ASampleAspect) {
  if (!Graph) return AVERROR(EINVAL);
  if (InputClosed) return AVERROR_EOF;
  int Result = 0;
  const AVFrame* Source = Conform(APicture, Result);
  if (!Source) return Result;
  AVFrame& Picture = const_cast<AVFrame&>(*Source);
  // The time and aspect are the engine's, not the decoder's; the caller's picture gets its own
  // back once the source has taken its reference.
  const int64_t SavedPts = Picture.pts;
  const AVRational SavedAspect = Picture.sample_aspect_ratio;
  Picture.pts = APts;
  Picture.sample_aspect_ratio = ASampleAspect;
  Result =
      AVFilter().av_buffersrc_add_frame_flags(InputFilter, &Picture, AV_BUFFERSRC_FLAG_KEEP_REF);
  Picture.pts = SavedPts;
  Picture.sample_aspect_ratio = SavedAspect;
  return Result < 0 ? Result : 0;
}

int TVideoFilterGraph::Close(int64_t APts) {
  if (!Graph || InputClosed) return 0;
  InputClosed = true;
  const int Result = AVFilter().av_buffersrc_close(InputFilter, APts, 0);
  return Result < 0 ? Result : 0;
}

int TVideoFilterGraph::Receive(AVFrame* APicture, int64_t& APts) {
  if (!Graph) return 0;
  const int Result = AVFilter().av_buffersink_get_frame(OutputFilter, APicture);
  if (Result == AVERROR(EAGAIN) || Result == AVERROR_EOF) return 0;
  if (Result < 0) return Result;
  APts = APicture->pts == AV_NOPTS_VALUE
             ? AV_NOPTS_VALUE
             : AVUtil().av_rescale_q(APicture->pts,
                                     AVFilter().av_buffersink_get_time_base(OutputFilter),
                                     MicrosecondBase);
  return 1;
}

} // namespace pelorix
