// The video filter graph between a decoded picture and its encoder ("vfilters"): building one
// graph per re-encoded video output stream at set-up, passing every picture of the source
// through it, and draining it at the end of input.
//
// Runs on the run's thread. The graphs live in the output stream records and are freed with
// the working tables at the end of the run (TranscodeCleanup).
#include "FFmpeg.h"

namespace pelorix {

int TCustomFFmpeg::BuildVideoFilters(TInputStream& AInput, TOutputStream& AOutput) {
  const TOptionState& O = Options;
  if (O.FrameTopBand + O.FrameBottomBand + O.FrameLeftBand + O.FrameRightBand != 0) {
    Run.LastErrorText = "Cannot enable crop options and filters at the same time.";
    return -1;
  }
  AVCodecContext* Encoder = AOutput.Encoder;
  if (!AInput.Decoder || !Encoder) return -1;
  // The pictures as they play, turned as the source's display matrix says.
  const TVideoFilterInput Input = SourcePictureOf(AInput);
  const int PadWidth = O.FramePadLeft + O.FramePadRight;
  const int PadHeight = O.FramePadTop + O.FramePadBottom;

  // The encoder's size less the pad bands, when the source does not have it already.
  int ScaleWidth = 0, ScaleHeight = 0;
  if (Input.Width + PadWidth != Encoder->width || Input.Height + PadHeight != Encoder->height) {
    ScaleWidth = Encoder->width - PadWidth;
    ScaleHeight = Encoder->height - PadHeight;
  }
  if (AOutput.Filters.Build(Input, ScaleWidth, ScaleHeight, O.VideoFilters, Encoder->pix_fmt) < 0)
    return -1;
  AOutput.PicRef.reset(AVUtil().av_frame_alloc());
  if (!AOutput.PicRef) return -1;

  const int Width = AOutput.Filters.OutputWidth();
  const int Height = AOutput.Filters.OutputHeight();
  if (PadWidth + PadHeight != 0 && (Width != O.FrameWidth || Height != O.FrameHeight)) {
    Run.LastErrorText = "Cannot enable pad options and the filters which resize frame at the "
                        "same time. (crop, rotate, scale, transpose, etc.)";
    return -1;
  }
  Encoder->width = Width + PadWidth;
  Encoder->height = Height + PadHeight;
  return 0;
}

void TCustomFFmpeg::FilterVideoFrame(TOutputStream& AOutput, TInputStream& AInput,
                                     AVFrame* AFrame) {
  // The picture's aspect is the decoder's, as the source stream describes it (turned with the
  // picture); a decoder that knows none leaves the picture's own.
  const AVRational Source = SourcePictureOf(AInput).SampleAspect;
  const AVRational Aspect = Source.num != 0 ? Source : AFrame->sample_aspect_ratio;
  const int Result = AOutput.Filters.Send(*AFrame, AInput.Pts, Aspect);
  if (Result < 0)
    throw FFMpegException(FileOpenErrorText("av_buffersrc_add_frame_flags()", Result));
  OutputFilteredPictures(AOutput, AInput);
}

// Every picture the graph has ready goes to the encoder, with its time as the source's
// current time.
void TCustomFFmpeg::OutputFilteredPictures(TOutputStream& AOutput, TInputStream& AInput) {
  while (GetFilteredPicture(AOutput, AInput.Pts) > 0)
    EncodeVideoFrame(AOutput, AInput, AOutput.PicRef.get());
  AVUtil().av_frame_unref(AOutput.PicRef.get());
}

// The next filtered picture into AOutput.PicRef and its time into APts (left as it is when the
// picture has none). 1 when a picture was taken, -1 when none is ready.
int TCustomFFmpeg::GetFilteredPicture(TOutputStream& AOutput, int64_t& APts) {
  AVFrame* Picture = AOutput.PicRef.get();
  AVUtil().av_frame_unref(Picture);
  int64_t Pts = AV_NOPTS_VALUE;
  const int Result = AOutput.Filters.Receive(Picture, Pts);
  if (Result < 0) throw FFMpegException(FileOpenErrorText("av_buffersink_get_frame()", Result));
  if (Result == 0) return -1;
  if (Pts != AV_NOPTS_VALUE) APts = Pts;
  return 1;
}

void TCustomFFmpeg::DrainVideoFilters(TInputStream& AInput, int AIndex) {
  for (auto& Output : Tables.OutputStreams) {
    if (Output->SourceIndex != AIndex || !Output->EncodingNeeded || !Output->Filters.Built() ||
        Output->Filters.Closed())
      continue;
    const int64_t End = AInput.NextPts != AV_NOPTS_VALUE ? AInput.NextPts : AInput.Pts;
    const int Result = Output->Filters.Close(End);
    if (Result < 0) throw FFMpegException(FileOpenErrorText("av_buffersrc_close()", Result));
    OutputFilteredPictures(*Output, AInput);
  }
}

} // namespace pelorix
