// Frame pre-processing: the before-hook, the hook time ranges, deinterlacing, the video hook
// modules and the custom hook's bitmap, applied to every decoded picture before it is routed.
//
// Runs on the run's thread, and so do both hook callbacks. Everything it makes (the working
// copy, the bitmap, the picture in the bitmap's format and the two conversions) is kept in
// Hooks, reused from picture to picture and freed by Cleanup at the end of the run.
//
// Decoded pictures are shared with the decoder, which may still read them as references: a
// hook never writes into one. Whatever is changed is changed in the working copy, and the
// picture handed on then shares the working copy's buffer, so the filters and encoders after
// us hold a proper reference to it.
#include "FFmpeg.h"

#include "Deinterlace.h"

#include <algorithm>
#include <cstring>

namespace pelorix {

namespace {

// Makes AFrame a picture of the working copy's planes and buffers, keeping its own times and
// properties. False when the references cannot be made; AFrame is then left as it was.
bool ShareWorkingCopy(AVFrame* AFrame, const AVFrame* AWork) {
  AVBufferRef* Buffers[AV_NUM_DATA_POINTERS] = {};
  for (int I = 0; I < AV_NUM_DATA_POINTERS && AWork->buf[I]; ++I) {
    Buffers[I] = AVUtil().av_buffer_ref(AWork->buf[I]);
    if (!Buffers[I]) {
      for (AVBufferRef*& Buffer : Buffers) AVUtil().av_buffer_unref(&Buffer);
      return false;
    }
  }
  for (int I = 0; I < AV_NUM_DATA_POINTERS; ++I) {
    AVUtil().av_buffer_unref(&AFrame->buf[I]);
    AFrame->buf[I] = Buffers[I];
    AFrame->data[I] = AWork->data[I];
    AFrame->linesize[I] = AWork->linesize[I];
  }
  AFrame->extended_data = AFrame->data;
  return true;
}

// Keeps AFrame as a writable picture of the format and size given, allocating only when it
// has none yet, another format or size, or when its buffer is still held elsewhere.
bool KeepPicture(TFramePtr& AFrame, AVPixelFormat AFormat, int AWidth, int AHeight) {
  if (!AFrame) AFrame.reset(AVUtil().av_frame_alloc());
  AVFrame* Frame = AFrame.get();
  if (!Frame) return false;
  if (Frame->buf[0] && Frame->format == AFormat && Frame->width == AWidth &&
      Frame->height == AHeight && AVUtil().av_frame_is_writable(Frame))
    return true;
  AVUtil().av_frame_unref(Frame);
  Frame->format = AFormat;
  Frame->width = AWidth;
  Frame->height = AHeight;
  if (AVUtil().av_frame_get_buffer(Frame, 0) >= 0) return true;
  AVUtil().av_frame_unref(Frame);
  return false;
}

// Copies the rows of plane 0 of APicture that the bitmap has room for, and back. A picture
// whose size changed within the run is larger or smaller than the bitmap made for the first:
// only the part both cover is copied, and the rest of the picture stays as it is.
void PictureToBitmap(const AVFrame* APicture, THookBitmap& ABitmap) {
  const int Rows = std::min(APicture->height, ABitmap.Height());
  const size_t Bytes = 3 * static_cast<size_t>(std::min(APicture->width, ABitmap.Width()));
  for (int Row = 0; Row < Rows; ++Row)
    std::memcpy(ABitmap.ScanLine(Row),
                APicture->data[0] + static_cast<ptrdiff_t>(Row) * APicture->linesize[0], Bytes);
}

void BitmapToPicture(const THookBitmap& ABitmap, AVFrame* APicture) {
  const int Rows = std::min(APicture->height, ABitmap.Height());
  const size_t Bytes = 3 * static_cast<size_t>(std::min(APicture->width, ABitmap.Width()));
  for (int Row = 0; Row < Rows; ++Row)
    std::memcpy(APicture->data[0] + static_cast<ptrdiff_t>(Row) * APicture->linesize[0],
                ABitmap.ScanLine(Row), Bytes);
}

const uint8_t* const* ConstPlanes(const AVFrame* AFrame) { return AFrame->data; }

} // namespace

void TCustomFFmpeg::PreprocessVideoFrame(TInputStream& AInput, AVFrame* AFrame) {
  THookState& H = Hooks;
  ++H.HookFrameNumber;
  const int64_t Pts = AInput.Pts;
  const bool CustomHook = Callbacks.CustomHookCallback && !H.CustomHookOff;

  if (!CustomHook && Settings.UsingVhook) {
    if (Callbacks.BeforeHookCallback)
      BeforeHookDecision(Pts);
    else if (!H.HookTimeRanges.empty())
      TimeRangeDecision(Pts);
  }
  const bool RunModules = Settings.UsingVhook && H.HookState == THookAction::haContinue;
  if (!Options.DoDeinterlace && !CustomHook && !RunModules) return;

  AVFrame* Work = MakeWorkingCopy(AFrame);
  if (!Work) return;
  if (CustomHook) {
    RunCustomHook(Work, Pts);
  } else if (RunModules) {
    TPelorixHookPicture Picture{};
    for (int Plane = 0; Plane < 4; ++Plane) {
      Picture.data[Plane] = Work->data[Plane];
      Picture.linesize[Plane] = Work->linesize[Plane];
    }
    ProcessFrameHooks(H.Modules.Head, Picture, static_cast<AVPixelFormat>(Work->format),
                      Work->width, Work->height, Pts);
  }
  if (!ShareWorkingCopy(AFrame, Work)) Log(0, "hook buf malloc error.");
}

// Asks the before-hook about this picture. Anything but a general exception raised by the
// callback passes through and ends the run.
void TCustomFFmpeg::BeforeHookDecision(int64_t APts) {
  THookState& H = Hooks;
  try {
    // On entry the action still holds the previous picture's decision.
    Callbacks.BeforeHookCallback(*this, APts, H.HookState);
  } catch (const std::exception& E) {
    Log(0, std::string("Error occurs OnBeforeHook: ") + E.what());
    H.HookState = THookAction::haStop;
  }
  if (H.HookState == THookAction::haStop) Settings.UsingVhook = 0;
}

void TCustomFFmpeg::TimeRangeDecision(int64_t APts) {
  THookState& H = Hooks;
  H.HookState = THookAction::haIgnore;
  const size_t Count = H.HookTimeRanges.size();
  for (size_t I = H.HookRangeIndex; I < Count; ++I) {
    const THookRange& Range = H.HookTimeRanges[I];
    if (Range.Start <= APts && APts <= Range.End) {
      H.HookRangeIndex = I;
      H.HookState = THookAction::haContinue;
      return;
    }
    if (I == Count - 1 && Range.End < APts) {
      // Past the last range: the modules are done for this run.
      H.HookState = THookAction::haStop;
      Settings.UsingVhook = 0;
    }
  }
}

// The working copy of the picture in Hooks.HookBuffer, deinterlaced when asked. Null when the
// picture goes on as decoded: no buffer could be had, or the only work was a deinterlacing
// that failed.
AVFrame* TCustomFFmpeg::MakeWorkingCopy(AVFrame* AFrame) {
  THookState& H = Hooks;
  const auto Format = static_cast<AVPixelFormat>(AFrame->format);
  const int Width = AFrame->width, Height = AFrame->height;
  if (!KeepPicture(H.HookBuffer, Format, Width, Height)) {
    Log(0, "hook buf malloc error.");
    return nullptr;
  }
  AVFrame* Work = H.HookBuffer.get();
  if (Options.DoDeinterlace) {
    if (DeinterlacePicture(Work->data, Work->linesize, ConstPlanes(AFrame), AFrame->linesize,
                           Format, Width, Height))
      return Work;
    Log(0, "Deinterlacing failed.");
    // A hook still needs a copy of its own to work on.
    const bool Hooked = (Callbacks.CustomHookCallback && !H.CustomHookOff) ||
                        (Settings.UsingVhook && H.HookState == THookAction::haContinue);
    if (!Hooked) return nullptr;
  }
  AVUtil().av_image_copy(Work->data, Work->linesize,
                         const_cast<const uint8_t**>(ConstPlanes(AFrame)), AFrame->linesize, Format,
                         Width, Height);
  return Work;
}

// Hands the picture to the custom hook as a bitmap and takes the bitmap back when the hook
// asks for it. A failure, or the hook's stop, switches the custom hook off for the rest of the
// run, and the hook modules with it.
void TCustomFFmpeg::RunCustomHook(AVFrame* AWork, int64_t APts) {
  THookState& H = Hooks;
  const auto Format = static_cast<AVPixelFormat>(AWork->format);
  const int Width = AWork->width, Height = AWork->height;
  const AVPixelFormat BitmapFormat = H.CustomHookPixelFormat;
  bool Failed = false;
  if (!H.HookBitmap) H.HookBitmap = std::make_unique<THookBitmap>(Width, Height);

  AVFrame* Rgb = AWork;
  if (Format != BitmapFormat) {
    if (!KeepPicture(H.RGBBuffer, BitmapFormat, Width, Height)) {
      Log(0, "hook buf malloc error.");
      Failed = true;
    } else {
      Rgb = H.RGBBuffer.get();
      H.ToRGBContext.reset(SwScale().sws_getCachedContext(H.ToRGBContext.release(), Width, Height,
                                                          Format, Width, Height, BitmapFormat,
                                                          SWS_BICUBIC, nullptr, nullptr, nullptr));
      if (!H.ToRGBContext) {
        Log(0, "Cannot initialize the toRGB conversion context");
        Failed = true;
      } else {
        SwScale().sws_scale(H.ToRGBContext.get(), ConstPlanes(AWork), AWork->linesize, 0, Height,
                            Rgb->data, Rgb->linesize);
      }
    }
  }

  bool Stop = false;
  if (!Failed) {
    THookBitmap& Bitmap = *H.HookBitmap;
    PictureToBitmap(Rgb, Bitmap);
    bool Update = true;
    try {
      THookCanvasLock Lock(Bitmap.Canvas());
      Callbacks.CustomHookCallback(*this, Bitmap, H.HookFrameNumber, APts, Update, Stop);
    } catch (const std::exception& E) {
      Log(0, std::string("Error occurs OnCustomHook: ") + E.what());
      Update = false;
    }
    if (Update) {
      BitmapToPicture(Bitmap, Rgb);
      if (Format != BitmapFormat) {
        H.FromRGBContext.reset(SwScale().sws_getCachedContext(
            H.FromRGBContext.release(), Width, Height, BitmapFormat, Width, Height, Format,
            SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!H.FromRGBContext) {
          Log(0, "Cannot initialize the fromRGB conversion context");
          Stop = true;
        } else {
          SwScale().sws_scale(H.FromRGBContext.get(), ConstPlanes(Rgb), Rgb->linesize, 0, Height,
                              AWork->data, AWork->linesize);
        }
      }
    }
  }
  if (Failed || Stop) {
    H.CustomHookOff = true;
    H.HookState = THookAction::haStop;
    Settings.UsingVhook = 0;
  }
}

} // namespace pelorix
