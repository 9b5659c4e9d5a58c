// The first step of the video path: decoded pictures made to look as they play, before the
// hooks, the filters and the encoders see them. A phone filming upright stores its pictures
// on their side and says so in a display matrix; a camera records two fields per picture.
// The filter library turns the pictures and, asked to ("deinterlace_fields"), deinterlaces
// the field-coded ones, in one graph per input stream that feeds a re-encoding output.
//
// Runs on the run's thread. The graph and its picture belong to the input stream's record and
// go with the working tables.
#include "FFmpeg.h"

#include "SourcePictures.h"
#include "TextFormat.h"

namespace pelorix {

namespace {

// Every field-coded picture becomes one whole picture at the same time, its fields in the
// order the decoder gives; the deinterlacer looks at the pictures before and after.
constexpr const char* FieldDeinterlacer = "bwdif=mode=send_frame:parity=auto:deint=interlaced";

} // namespace

std::string SourceFilterText(const TPictureTurn& ATurn, bool ADeinterlaceFields) {
  std::string Text = ADeinterlaceFields ? FieldDeinterlacer : "";
  const auto Add = [&Text](const char* AFilter) {
    Text += (Text.empty() ? "" : ",") + std::string(AFilter);
  };
  // A mirror image turned half round is the picture upside down.
  if (ATurn.Mirrored && ATurn.Rotation == 180) {
    Add("vflip");
    return Text;
  }
  if (ATurn.Mirrored) Add("hflip");
  if (ATurn.Rotation == 90) Add("transpose=clock");
  if (ATurn.Rotation == 180) Add("hflip,vflip");
  if (ATurn.Rotation == 270) Add("transpose=cclock");
  return Text;
}

TVideoFilterInput TurnedPicture(const TVideoFilterInput& ADecoded, const TPictureTurn& ATurn) {
  if (!ATurn.SwapsSides()) return ADecoded;
  TVideoFilterInput Turned = ADecoded;
  Turned.Width = ADecoded.Height;
  Turned.Height = ADecoded.Width;
  if (ADecoded.SampleAspect.num > 0 && ADecoded.SampleAspect.den > 0)
    Turned.SampleAspect = AVRational{ADecoded.SampleAspect.den, ADecoded.SampleAspect.num};
  return Turned;
}

TVideoFilterInput TCustomFFmpeg::SourcePictureOf(const TInputStream& AInput) {
  const AVCodecContext* Decoder = AInput.Decoder;
  if (!Decoder) return {};
  return TurnedPicture(TVideoFilterInput{Decoder->width, Decoder->height, Decoder->pix_fmt,
                                         Decoder->sample_aspect_ratio},
                       AInput.Turn);
}

void TCustomFFmpeg::PrepareSourcePictures(TInputStream& AInput) {
  if (AInput.SourceFilters.Built()) return;
  const std::string Text = SourceFilterText(AInput.Turn, Options.DeinterlaceFields != 0);
  if (Text.empty()) return;
  const AVCodecContext* Decoder = AInput.Decoder;
  const TVideoFilterInput Decoded{Decoder->width, Decoder->height, Decoder->pix_fmt,
                                  Decoder->sample_aspect_ratio};
  const int Built = AInput.SourceFilters.Build(Decoded, 0, 0, Text, AV_PIX_FMT_NONE);
  if (Built >= 0) AInput.SourcePicture.reset(AVUtil().av_frame_alloc());
  if (Built < 0 || !AInput.SourcePicture)
    throw FFMpegException(
        FileOpenErrorText(FormatText("Error opening filters: input stream #%d.%d (%s)",
                                     AInput.FileIndex, AInput.StreamIndex, Text.c_str()),
                          Built < 0 ? Built : AVERROR(ENOMEM)));
}

void TCustomFFmpeg::FilterSourcePicture(TInputStream& AInput, int AIndex, AVFrame* AFrame) {
  // The picture's shape is the decoder's, as the source stream describes it.
  const AVRational Aspect = AInput.Decoder->sample_aspect_ratio.num != 0
                                ? AInput.Decoder->sample_aspect_ratio
                                : AFrame->sample_aspect_ratio;
  const int Sent = AInput.SourceFilters.Send(*AFrame, AInput.Pts, Aspect);
  if (Sent < 0) throw FFMpegException(FileOpenErrorText("av_buffersrc_add_frame_flags()", Sent));
  RouteSourcePictures(AInput, AIndex);
}

// Every picture the graph has ready goes on with its own time as the stream's current time.
void TCustomFFmpeg::RouteSourcePictures(TInputStream& AInput, int AIndex) {
  AVFrame* Picture = AInput.SourcePicture.get();
  for (;;) {
    AVUtil().av_frame_unref(Picture);
    int64_t Pts = AV_NOPTS_VALUE;
    const int Received = AInput.SourceFilters.Receive(Picture, Pts);
    if (Received < 0)
      throw FFMpegException(FileOpenErrorText("av_buffersink_get_frame()", Received));
    if (Received == 0) break;
    if (Pts != AV_NOPTS_VALUE) AInput.Pts = Pts;
    RouteDecodedFrame(AInput, AIndex, Picture);
  }
  AVUtil().av_frame_unref(Picture);
}

void TCustomFFmpeg::DrainSourcePictures(TInputStream& AInput, int AIndex) {
  if (!AInput.SourceFilters.Built() || AInput.SourceFilters.Closed()) return;
  const int64_t End = AInput.NextPts != AV_NOPTS_VALUE ? AInput.NextPts : AInput.Pts;
  const int Closed = AInput.SourceFilters.Close(End);
  if (Closed < 0) throw FFMpegException(FileOpenErrorText("av_buffersrc_close()", Closed));
  RouteSourcePictures(AInput, AIndex);
}

} // namespace pelorix
