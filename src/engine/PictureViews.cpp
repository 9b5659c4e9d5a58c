// Crop views and padding of pictures: the work the codec library once did on its picture
// records (plane offsets and band filling), written for the pixel format descriptors.
#include "PictureViews.h"

#include <algorithm>
#include <cstring>

namespace pelorix {

namespace {

// Planes 1 and 2 carry the subsampled chroma; luma, packed pixels and alpha are never
// subsampled.
bool IsChromaPlane(int APlane) { return APlane == 1 || APlane == 2; }

int CeilShift(int AValue, int AShift) { return -((-AValue) >> AShift); }

// Bytes from one pixel to the next in APlane: the step of the first component stored there.
int PixelStep(const AVPixFmtDescriptor& ADescriptor, int APlane) {
  for (int C = 0; C < ADescriptor.nb_components; ++C)
    if (ADescriptor.comp[C].plane == APlane) return ADescriptor.comp[C].step;
  return 0;
}

template <typename TSample> void FillSamples(uint8_t* ARow, int ACount, TSample AValue) {
  if (ACount <= 0) return;
  if constexpr (sizeof(TSample) == 1)
    std::memset(ARow, AValue, static_cast<size_t>(ACount));
  else
    std::fill_n(reinterpret_cast<TSample*>(ARow), ACount, AValue);
}

template <typename TSample> void PadPlane(uint8_t* ATarget, int ATargetLineSize,
                                          const uint8_t* ASource, int ASourceLineSize,
                                          int APlaneWidth, int APlaneHeight, int ATop, int ALeft,
                                          int AMiddleWidth, int AMiddleHeight, TSample AValue) {
  for (int Y = 0; Y < APlaneHeight; ++Y) {
    uint8_t* Row = ATarget + static_cast<ptrdiff_t>(Y) * ATargetLineSize;
    if (Y < ATop || Y >= ATop + AMiddleHeight) {
      FillSamples(Row, APlaneWidth, AValue);
      continue;
    }
    FillSamples(Row, ALeft, AValue);
    if (ASource)
      std::memcpy(Row + static_cast<size_t>(ALeft) * sizeof(TSample),
                  ASource + static_cast<ptrdiff_t>(Y - ATop) * ASourceLineSize,
                  static_cast<size_t>(AMiddleWidth) * sizeof(TSample));
    FillSamples(Row + static_cast<size_t>(ALeft + AMiddleWidth) * sizeof(TSample),
                APlaneWidth - ALeft - AMiddleWidth, AValue);
  }
}

} // namespace

TPictureView ViewOf(const AVFrame& APicture) {
  TPictureView View;
  for (int P = 0; P < 4; ++P) {
    View.Data[P] = APicture.data[P];
    View.LineSize[P] = APicture.linesize[P];
  }
  return View;
}

bool ShiftPicture(const TPictureView& ASource, AVPixelFormat AFormat, int ATop, int ALeft,
                  TPictureView& AView) {
  const AVPixFmtDescriptor* Descriptor = AVUtil().av_pix_fmt_desc_get(AFormat);
  if (!Descriptor || ATop < 0 || ALeft < 0) return false;
  if (Descriptor->flags & (AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL)) return false;
  if ((Descriptor->flags & AV_PIX_FMT_FLAG_BAYER) && (ATop % 2 || ALeft % 2)) return false;
  const int Planes = AVUtil().av_pix_fmt_count_planes(AFormat);
  // Packed pixels sharing their chroma (Y0 U Y1 V) stay whole only at pair boundaries.
  const bool Packed = Planes == 1 && !(Descriptor->flags & AV_PIX_FMT_FLAG_PLANAR);
  if (Packed && ALeft % (1 << Descriptor->log2_chroma_w) != 0) return false;

  TPictureView View = ASource;
  for (int P = 0; P < Planes && P < 4; ++P) {
    if (!View.Data[P]) continue;
    const int ShiftW = IsChromaPlane(P) && !Packed ? Descriptor->log2_chroma_w : 0;
    const int ShiftH = IsChromaPlane(P) && !Packed ? Descriptor->log2_chroma_h : 0;
    View.Data[P] += static_cast<ptrdiff_t>(ATop >> ShiftH) * View.LineSize[P] +
                    static_cast<ptrdiff_t>(ALeft >> ShiftW) * PixelStep(*Descriptor, P);
  }
  AView = View;
  return true;
}

bool CanPadPicture(AVPixelFormat AFormat) {
  const AVPixFmtDescriptor* Descriptor = AVUtil().av_pix_fmt_desc_get(AFormat);
  if (!Descriptor) return false;
  constexpr uint64_t Refused = AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                               AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_RGB |
                               AV_PIX_FMT_FLAG_BAYER | AV_PIX_FMT_FLAG_FLOAT;
  if (Descriptor->flags & Refused) return false;
  if (Descriptor->nb_components > 1 && !(Descriptor->flags & AV_PIX_FMT_FLAG_PLANAR)) return false;
  const int Depth = Descriptor->comp[0].depth;
  if (Depth < 8 || Depth > 16) return false;
  if (Depth > 8 && (Descriptor->flags & AV_PIX_FMT_FLAG_BE)) return false;
  const int Bytes = Depth > 8 ? 2 : 1;
  for (int C = 0; C < Descriptor->nb_components; ++C) {
    const AVComponentDescriptor& Component = Descriptor->comp[C];
    // One component per plane, each sample on its own (no semi-planar chroma, no packing).
    if (Component.plane != C || Component.step != Bytes || Component.shift != 0 ||
        Component.offset != 0 || Component.depth != Depth)
      return false;
  }
  return true;
}

bool PadPicture(const TPictureView& ATarget, const TPictureView* ASource, int AHeight, int AWidth,
                AVPixelFormat AFormat, int ATop, int ABottom, int ALeft, int ARight,
                const std::array<int32_t, 3>& AColor) {
  if (!CanPadPicture(AFormat)) return false;
  if (ATop < 0 || ABottom < 0 || ALeft < 0 || ARight < 0) return false;
  if (ATop + ABottom >= AHeight || ALeft + ARight >= AWidth) return false;
  const AVPixFmtDescriptor* Descriptor = AVUtil().av_pix_fmt_desc_get(AFormat);
  const int Depth = Descriptor->comp[0].depth;
  const int MaxValue = (1 << Depth) - 1;

  for (int P = 0; P < Descriptor->nb_components; ++P) {
    if (!ATarget.Data[P] || (ASource && !ASource->Data[P])) return false;
  }
  for (int P = 0; P < Descriptor->nb_components; ++P) {
    const int ShiftW = IsChromaPlane(P) ? Descriptor->log2_chroma_w : 0;
    const int ShiftH = IsChromaPlane(P) ? Descriptor->log2_chroma_h : 0;
    const int PlaneWidth = CeilShift(AWidth, ShiftW);
    const int PlaneHeight = CeilShift(AHeight, ShiftH);
    const int Top = ATop >> ShiftH;
    const int Left = ALeft >> ShiftW;
    const int MiddleWidth = std::min(CeilShift(AWidth - ALeft - ARight, ShiftW), PlaneWidth - Left);
    const int MiddleHeight =
        std::min(CeilShift(AHeight - ATop - ABottom, ShiftH), PlaneHeight - Top);
    // Y, U and V take the colour's components; a fourth plane is alpha, made opaque.
    const int Colour = P < 3 ? std::clamp(AColor[P], 0, 255) << (Depth - 8) : MaxValue;
    const uint8_t* Source = ASource ? ASource->Data[P] : nullptr;
    const int SourceLineSize = ASource ? ASource->LineSize[P] : 0;
    if (Depth == 8)
      PadPlane<uint8_t>(ATarget.Data[P], ATarget.LineSize[P], Source, SourceLineSize, PlaneWidth,
                        PlaneHeight, Top, Left, MiddleWidth, MiddleHeight,
                        static_cast<uint8_t>(Colour));
    else
      PadPlane<uint16_t>(ATarget.Data[P], ATarget.LineSize[P], Source, SourceLineSize, PlaneWidth,
                         PlaneHeight, Top, Left, MiddleWidth, MiddleHeight,
                         static_cast<uint16_t>(std::min(Colour, MaxValue)));
  }
  return true;
}

} // namespace pelorix
