// The video output path: one decoded (pre-processed, filtered) picture becomes zero, one or
// several encoded frames of one output stream. The picture is dropped or repeated to keep pace
// with the input clock, cropped, scaled and padded into the encoder's size, and encoded.
//
// Runs on the run's thread. StopRequested, set by the owner's thread, is read before every
// frame sent, so a long run of repeats ends at once. Work pictures and the scaler belong to the
// output stream and are reused from picture to picture.
#include "FFmpeg.h"

#include "PictureViews.h"
#include "TextFormat.h"
#include "VideoSync.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

namespace pelorix {

namespace {

// True when every plane of APicture lies in one of its buffers. Only then may the encoder
// keep a reference to the picture instead of a copy.
bool OwnsPlanes(const AVFrame& APicture) {
  if (!APicture.buf[0]) return false;
  for (int P = 0; P < 4 && APicture.data[P]; ++P) {
    bool Inside = false;
    for (int B = 0; B < AV_NUM_DATA_POINTERS && APicture.buf[B] && !Inside; ++B) {
      const uint8_t* Start = APicture.buf[B]->data;
      Inside = APicture.data[P] >= Start && APicture.data[P] < Start + APicture.buf[B]->size;
    }
    if (!Inside) return false;
  }
  return true;
}

// Encoder flags of field coding: the encoder keeps a picture's two fields apart.
constexpr int InterlacedCoding = AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;

// The rows of field AField (0 top, 1 bottom) of a picture: every second row of each plane.
TPictureView FieldOf(const TPictureView& APicture, int AField) {
  TPictureView Field;
  for (size_t P = 0; P < Field.Data.size(); ++P) {
    Field.Data[P] = APicture.Data[P] ? APicture.Data[P] + AField * APicture.LineSize[P] : nullptr;
    Field.LineSize[P] = 2 * APicture.LineSize[P];
  }
  return Field;
}

// The picture's description without its buffers: the encoder copies such a picture.
void DescribeUnowned(AVFrame& ATarget, const AVFrame& APicture) {
  ATarget.format = APicture.format;
  ATarget.width = APicture.width;
  ATarget.height = APicture.height;
  ATarget.sample_aspect_ratio = APicture.sample_aspect_ratio;
  ATarget.interlaced_frame = APicture.interlaced_frame;
  ATarget.top_field_first = APicture.top_field_first;
  ATarget.pict_type = APicture.pict_type;
  ATarget.color_range = APicture.color_range;
  ATarget.color_primaries = APicture.color_primaries;
  ATarget.color_trc = APicture.color_trc;
  ATarget.colorspace = APicture.colorspace;
  ATarget.chroma_location = APicture.chroma_location;
  ATarget.extended_data = ATarget.data;
}

} // namespace

void TCustomFFmpeg::OutputVideo(TOutputStream& AOutput, TInputStream& AInput, AVFrame* AFrame,
                                int& AFrameSize) {
  AFrameSize = 0;
  const int64_t Frames = VideoFramesDue(AOutput);
  if (Frames <= 0) return;
  // The work pictures may be made anew for this one: the last picture is this one, or none.
  AOutput.LastPicture = nullptr;
  AVFrame* Final = FormatPicture(AOutput, AFrame);
  if (!Final) return;

  AVCodecContext* Encoder = AOutput.Encoder;
  Final->interlaced_frame = AFrame->interlaced_frame;
  if (Encoder->flags & InterlacedCoding)
    Final->top_field_first =
        Options.TopFieldFirst != -1 ? Options.TopFieldFirst : AFrame->top_field_first;
  // The quality a fixed-quantiser encoder takes: the source picture's for "sameq".
  const float Quality = Options.SameQuality
                            ? AInput.Quality
                            : StreamCodecs.Outputs[AOutput.FileIndex][AOutput.StreamIndex].Quality;
  Final->quality = static_cast<int>(std::lrint(Quality));
  if (!Options.MeThreshold) Final->pict_type = AV_PICTURE_TYPE_NONE;
  // Kept (with the view's reference) until the next picture: the last one may show on.
  AOutput.LastPicture = Final;
  AFrameSize = EmitPicture(AOutput, *Final, Frames);
}

int TCustomFFmpeg::EmitPicture(TOutputStream& AOutput, AVFrame& APicture, int64_t AFrames) {
  int FrameSize = 0;
  for (int64_t I = 0; I < AFrames; ++I) {
    if (Run.StopRequested) break;
    APicture.pts = AOutput.SyncOpts;
    NoteSentPicture(AOutput, APicture.pts);
    SendPicture(AOutput, APicture);
    // An encoder that holds pictures back gives nothing yet; the frame still counts.
    const int Size = ReceivePackets(AOutput);
    if (Size > 0) FrameSize = Size;
    ++AOutput.SyncOpts;
    ++AOutput.FrameNumber;
  }
  return FrameSize;
}

// Where the source's pictures stop showing, microseconds: the last picture's time plus its
// own duration, or later where the stream says it lasts longer (repeats left uncoded at the
// end, a container's duration), held to the recording time. No value unless the input was
// read to its end: a stopped or limited run ends where it ended.
int64_t TCustomFFmpeg::PicturesEndOf(const TInputStream& AInput) const {
  if (Run.StopRequested || !Tables.FileTable[AInput.FileIndex].EofReached ||
      AInput.PictureEnd == AV_NOPTS_VALUE)
    return AV_NOPTS_VALUE;
  int64_t End = AInput.PictureEnd;
  // Containers often count a picture more or less in their durations: an end within a picture
  // period of the last picture's is that picture's own. One far beyond it is not believed.
  const AVRational Rate = PictureRateOf(AInput.Stream);
  const int64_t Period =
      Rate.num > 0 && Rate.den > 0 ? static_cast<int64_t>(AV_TIME_BASE) * Rate.den / Rate.num : 0;
  const auto Later = [&](int64_t AEnd) {
    if (AEnd != AV_NOPTS_VALUE && AEnd > End + Period && AEnd - End <= MaxHeldPicture) End = AEnd;
  };
  Later(AInput.PacketEnd);
  // Ogg and AVI count in a stream's length the pictures repeated by empty packets, which
  // their demuxers do not hand out; other containers' lengths are less exact than the
  // pictures' own times.
  const AVStream* Stream = AInput.Stream;
  const char* Container = Files.InputFiles[AInput.FileIndex]->iformat->name;
  const bool CountsRepeats =
      std::strcmp(Container, "ogg") == 0 || std::strcmp(Container, "avi") == 0;
  if (CountsRepeats && Stream->duration != AV_NOPTS_VALUE && Stream->duration > 0) {
    const int64_t Start = Stream->start_time != AV_NOPTS_VALUE ? Stream->start_time : 0;
    Later(AVUtil().av_rescale_q(Start + Stream->duration, Stream->time_base, AV_TIME_BASE_Q) +
          Files.InputTsOffset[AInput.FileIndex]);
  }
  if (Options.RecordingTime != std::numeric_limits<int64_t>::max())
    End = std::min(End, Options.RecordingTime + Options.StartTime);
  return End;
}

// The end of the source's pictures reaches an output: at a fixed rate the last picture is sent
// again for every period up to AEnd; where each picture has a time, it is the last one's end.
void TCustomFFmpeg::EndPictures(TOutputStream& AOutput, int64_t AEnd) {
  if (AEnd == AV_NOPTS_VALUE) return;
  const double Tick = av_q2d(AOutput.Encoder->time_base);
  if (!(Tick > 0)) return;
  AOutput.PicturesEnd =
      std::llround(static_cast<double>(AEnd - Options.StartTime) / AV_TIME_BASE / Tick);
  // Only an output that repeats late pictures fills the time up to the end.
  if (AOutput.KeepsPictureTimes || !AOutput.LastPicture ||
      !RepeatsPictures(Tick, Settings.VideoSyncMethod))
    return;
  const int64_t Room = static_cast<int64_t>(Options.MaxFrames[ckVideo]) - AOutput.FrameNumber;
  const int64_t Repeats = std::min(AOutput.PicturesEnd - AOutput.SyncOpts, Room);
  if (Repeats <= 0) return;
  Stats.FramesDup = static_cast<int32_t>(
      std::min<int64_t>(static_cast<int64_t>(Stats.FramesDup) + Repeats, INT32_MAX));
  const int FrameSize = EmitPicture(AOutput, *AOutput.LastPicture, Repeats);
  if (Settings.VstatsFileName && FrameSize != 0) WriteVideoStats(AOutput, FrameSize);
  AOutput.PicturesEnd = AOutput.SyncOpts;
}

void TCustomFFmpeg::NoteSentPicture(TOutputStream& AOutput, int64_t APts) {
  if (AOutput.SentPts.size() < SentPicturesKept) {
    AOutput.SentPts.push_back(APts);
    return;
  }
  AOutput.SentPts[AOutput.SentPtsNext] = APts;
  AOutput.SentPtsNext = (AOutput.SentPtsNext + 1) % SentPicturesKept;
}

// A picture shows until the next one sent after it (the pictures are sent in the order they
// show). Muxers take the packets' durations for the stream's end: without them a clip loses
// its last picture, or the time the last one is held.
void TCustomFFmpeg::HoldVideoPacket(TOutputStream& AOutput, AVPacket* APacket) {
  TPacketPtr Waiting;
  if (!AOutput.SparePackets.empty()) {
    Waiting = std::move(AOutput.SparePackets.back());
    AOutput.SparePackets.pop_back();
  } else {
    Waiting.reset(AVCodec().av_packet_alloc());
    if (!Waiting) throw FFMpegException("av_malloc failed");
  }
  AVCodec().av_packet_move_ref(Waiting.get(), APacket);
  AOutput.WaitingPackets.push_back(std::move(Waiting));
  WriteWaitingPackets(AOutput, false);
}

// Writes the waiting packets whose duration is known, in order; at AEnd all of them, the last
// picture showing until PicturesEnd when known, else as long as the picture before it.
void TCustomFFmpeg::WriteWaitingPackets(TOutputStream& AOutput, bool AEnd) {
  size_t Written = 0;
  for (; Written < AOutput.WaitingPackets.size(); ++Written) {
    AVPacket* Packet = AOutput.WaitingPackets[Written].get();
    int64_t Next = AV_NOPTS_VALUE;
    if (Packet->pts != AV_NOPTS_VALUE)
      for (int64_t Sent : AOutput.SentPts)
        if (Sent > Packet->pts && (Next == AV_NOPTS_VALUE || Sent < Next)) Next = Sent;
    if (Next != AV_NOPTS_VALUE)
      AOutput.LastPacketDuration = Next - Packet->pts;
    else if (AEnd && AOutput.PicturesEnd != AV_NOPTS_VALUE && Packet->pts != AV_NOPTS_VALUE &&
             AOutput.PicturesEnd > Packet->pts)
      AOutput.LastPacketDuration = AOutput.PicturesEnd - Packet->pts;
    else if (!AEnd && Packet->pts != AV_NOPTS_VALUE)
      break; // its successor is not sent yet
    Packet->duration = AOutput.LastPacketDuration;
    AVCodec().av_packet_rescale_ts(Packet, AOutput.Encoder->time_base, AOutput.Stream->time_base);
    AOutput.Writer->Write(Packet);
  }
  for (size_t I = 0; I < Written; ++I)
    AOutput.SparePackets.push_back(std::move(AOutput.WaitingPackets[I]));
  AOutput.WaitingPackets.erase(AOutput.WaitingPackets.begin(),
                               AOutput.WaitingPackets.begin() + static_cast<ptrdiff_t>(Written));
}

// Drop and repeat decision for the picture about to be encoded, counted and logged, and held
// to the frame limit ("vframes").
int64_t TCustomFFmpeg::VideoFramesDue(TOutputStream& AOutput) {
  const TInputStream* Clock =
      AOutput.SyncStream ? AOutput.SyncStream : Tables.InputStreams[AOutput.SourceIndex].get();
  const double InputTime = static_cast<double>(Clock->Pts - Options.StartTime) / AV_TIME_BASE;
  // Pictures that keep their own times are neither dropped nor repeated.
  int64_t Frames =
      VideoFramesFor(InputTime, av_q2d(AOutput.Encoder->time_base),
                     AOutput.KeepsPictureTimes ? 0 : Settings.VideoSyncMethod, AOutput.SyncOpts);
  if (Frames == 0) {
    ++Stats.FramesDrop;
    if (Settings.Verbose > 2) Log(1, "*** drop!");
  } else if (Frames > 1) {
    Stats.FramesDup = static_cast<int32_t>(
        std::min<int64_t>(static_cast<int64_t>(Stats.FramesDup) + Frames - 1, INT32_MAX));
    if (Settings.Verbose > 2) Log(1, FormatText("*** %d dup!", static_cast<int>(Frames - 1)));
  }
  const int64_t Room = static_cast<int64_t>(Options.MaxFrames[ckVideo]) - AOutput.FrameNumber;
  return std::min(Frames, Room);
}

AVFrame* TCustomFFmpeg::PictureFailed(const char* AMessage) {
  if (Settings.ExitOnError) throw FFMpegException(AMessage);
  Log(0, AMessage);
  return nullptr;
}

// Crops, scales and pads the picture into what the encoder takes. Returns the picture to
// encode (the output stream's TempPicture, or its PictureView of the decoded picture), or null
// when the picture is skipped.
AVFrame* TCustomFFmpeg::FormatPicture(TOutputStream& AOutput, AVFrame* AFrame) {
  const AVCodecContext* Encoder = AOutput.Encoder;
  const bool Filtered = Settings.UsingVideoFilters != 0;
  const auto Format = static_cast<AVPixelFormat>(AFrame->format);

  // Cropping: the top and left bands by plane offsets, right and bottom by reading less.
  TPictureView Formatted = ViewOf(*AFrame);
  int Width = AFrame->width;
  int Height = AFrame->height;
  if (!Filtered && AOutput.VideoCrop) {
    Width -= AOutput.CropLeft + Options.FrameRightBand;
    Height -= AOutput.CropTop + Options.FrameBottomBand;
    if (Width <= 0 || Height <= 0 ||
        !ShiftPicture(Formatted, Format, AOutput.CropTop, AOutput.CropLeft, Formatted))
      return PictureFailed("error cropping picture");
  }

  // The encoder's picture less the pad bands: what the picture must fill. A decoded picture
  // that no longer has the size or format the set-up planned for (a stream that changes size)
  // is scaled to it, rather than read past its end.
  const int MiddleWidth = Encoder->width - AOutput.PadLeft - AOutput.PadRight;
  const int MiddleHeight = Encoder->height - AOutput.PadTop - AOutput.PadBottom;
  const bool Fits = Width == MiddleWidth && Height == MiddleHeight && Format == Encoder->pix_fmt;
  if (!Filtered && !Fits) AOutput.VideoResample = 1;
  const bool Scaled = !Filtered && AOutput.VideoResample;
  // An encoder that codes fields gets a field-coded picture scaled field by field: scaled as
  // one picture, the rows of the two moments would run into each other.
  const bool ByFields = Scaled && (Encoder->flags & InterlacedCoding) && AFrame->interlaced_frame &&
                        Height % 2 == 0 && MiddleHeight % 2 == 0;
  if (Scaled) FitScaler(AOutput, Width, Height, Format, ByFields);

  if (!AOutput.VideoPad && !Scaled) {
    // The picture itself, or its cropped part, goes to the encoder. The filter graph delivers
    // the encoder's size and format; anything else cannot be encoded safely.
    if (!Fits) throw FFMpegException("Video encoding failed");
    if (!AOutput.PictureView) AOutput.PictureView.reset(AVUtil().av_frame_alloc());
    AVFrame* View = AOutput.PictureView.get();
    if (!View) throw FFMpegException("Video encoding failed");
    AVUtil().av_frame_unref(View);
    if (OwnsPlanes(*AFrame)) {
      if (AVUtil().av_frame_ref(View, AFrame) < 0) throw FFMpegException("Video encoding failed");
    } else {
      DescribeUnowned(*View, *AFrame);
    }
    for (int P = 0; P < 4; ++P) {
      View->data[P] = Formatted.Data[P];
      View->linesize[P] = Formatted.LineSize[P];
    }
    View->width = Width;
    View->height = Height;
    return View;
  }

  KeepTempPictureWritable(AOutput);
  AVFrame* Temp = AOutput.TempPicture.get();
  const TPictureView Whole = ViewOf(*Temp);
  TPictureView ScaleTarget = Whole;
  const TPictureView* PadSource = &Formatted;
  if (AOutput.VideoPad && AOutput.VideoResample &&
      !ShiftPicture(Whole, Encoder->pix_fmt, AOutput.PadTop, AOutput.PadLeft, ScaleTarget))
    return PictureFailed("error padding picture");
  if (Scaled) {
    PadSource = nullptr;
    for (int Field = 0; Field < (ByFields ? 2 : 1); ++Field) {
      const TPictureView From = ByFields ? FieldOf(Formatted, Field) : Formatted;
      const TPictureView To = ByFields ? FieldOf(ScaleTarget, Field) : ScaleTarget;
      SwScale().sws_scale(AOutput.ScaleContext.get(), From.Data.data(), From.LineSize.data(), 0,
                          ByFields ? Height / 2 : Height, To.Data.data(), To.LineSize.data());
    }
  }
  if (AOutput.VideoPad) {
    // Pictures are copied into the middle only when they have its size and format; a format
    // the bands cannot be painted in would leave them as whatever the buffer held.
    if ((PadSource && !Fits) || !PadPicture(Whole, PadSource, Encoder->height, Encoder->width,
                                            Encoder->pix_fmt, AOutput.PadTop, AOutput.PadBottom,
                                            AOutput.PadLeft, AOutput.PadRight, Options.PadColor))
      return PictureFailed("error padding picture");
  }
  return Temp;
}

// Makes ScaleContext scale pictures of AWidth x AHeight in AFormat into the encoder's picture
// less the pad bands; with AByFields, one field of such a picture into one field of that.
void TCustomFFmpeg::FitScaler(TOutputStream& AOutput, int AWidth, int AHeight,
                              AVPixelFormat AFormat, bool AByFields) {
  const AVCodecContext* Encoder = AOutput.Encoder;
  const int Rows = AByFields ? 2 : 1;
  SwsContext* Scaler = AOutput.ScaleContext.get();
  if (Scaler && AOutput.ScaleSourceWidth == 0) {
    // Made by the set-up: its own settings say which source it expects.
    int64_t Width = 0, Height = 0, Format = AV_PIX_FMT_NONE;
    if (AVUtil().av_opt_get_int(Scaler, "srcw", 0, &Width) >= 0 &&
        AVUtil().av_opt_get_int(Scaler, "srch", 0, &Height) >= 0 &&
        AVUtil().av_opt_get_int(Scaler, "src_format", 0, &Format) >= 0) {
      AOutput.ScaleSourceWidth = static_cast<int32_t>(Width);
      AOutput.ScaleSourceHeight = static_cast<int32_t>(Height);
      AOutput.ScaleSourceFormat = static_cast<AVPixelFormat>(Format);
    }
  }
  if (Scaler && AOutput.ScaleSourceWidth == AWidth && AOutput.ScaleSourceHeight == AHeight &&
      AOutput.ScaleSourceFormat == AFormat && AOutput.ScaleByFields == AByFields)
    return;
  AOutput.ScaleContext.reset(SwScale().sws_getContext(
      AWidth, AHeight / Rows, AFormat, Encoder->width - AOutput.PadLeft - AOutput.PadRight,
      (Encoder->height - AOutput.PadTop - AOutput.PadBottom) / Rows, Encoder->pix_fmt,
      Settings.SwsFlags, nullptr, nullptr, nullptr));
  if (!AOutput.ScaleContext) throw FFMpegException("Cannot get resampling context");
  AOutput.ScaleSourceWidth = AWidth;
  AOutput.ScaleSourceHeight = AHeight;
  AOutput.ScaleSourceFormat = AFormat;
  AOutput.ScaleByFields = AByFields;
  AOutput.SourceHeight = AHeight;
}

// TempPicture has the encoder's size and format: the set-up's picture, or a new one when there
// is none yet (the picture is scaled since its size changed) or the encoder's size was settled
// after it (by the filter graph).
//
// Encoders may keep references to the pictures they were given (to reorder them, or to encode
// on other threads). TempPicture is written only when nobody else holds it: otherwise a spare
// that the encoder has let go of takes its place, or a new one. After a few pictures the spares
// cover the encoder's delay and nothing more is allocated.
void TCustomFFmpeg::KeepTempPictureWritable(TOutputStream& AOutput) {
  const AVCodecContext* Encoder = AOutput.Encoder;
  const AVFrame* Current = AOutput.TempPicture.get();
  if (!Current || Current->width != Encoder->width || Current->height != Encoder->height ||
      Current->format != Encoder->pix_fmt) {
    AOutput.SparePictures.clear();
    AOutput.TempPicture = NewPicture(Encoder->pix_fmt, Encoder->width, Encoder->height);
    if (!AOutput.TempPicture) throw FFMpegException("Cannot allocate temp picture, check pix fmt");
    return;
  }
  if (AVUtil().av_frame_is_writable(AOutput.TempPicture.get())) return;
  for (TFramePtr& Spare : AOutput.SparePictures) {
    if (AVUtil().av_frame_is_writable(Spare.get())) {
      std::swap(Spare, AOutput.TempPicture);
      return;
    }
  }
  const AVFrame* Temp = AOutput.TempPicture.get();
  TFramePtr Fresh = NewPicture(static_cast<AVPixelFormat>(Temp->format), Temp->width, Temp->height);
  if (!Fresh) throw FFMpegException("Cannot allocate temp picture, check pix fmt");
  AOutput.SparePictures.push_back(std::move(AOutput.TempPicture));
  AOutput.TempPicture = std::move(Fresh);
}

} // namespace pelorix
