// Deinterlacing of one picture on its own; see Deinterlace.h.
#include "Deinterlace.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace pelorix {

namespace {

// Rows of one plane of the picture; taken once per picture, not per row.
struct TPlaneRows {
  uint8_t* Target;
  ptrdiff_t TargetStride;
  const uint8_t* Source;
  ptrdiff_t SourceStride;
  int Height;
  int RowBytes;
};

const AVPixFmtDescriptor* SupportedDescriptor(AVPixelFormat AFormat) {
  if (AFormat < 0) return nullptr;
  const AVPixFmtDescriptor* Descriptor = AVUtil().av_pix_fmt_desc_get(AFormat);
  if (!Descriptor || Descriptor->nb_components == 0) return nullptr;
  constexpr uint64_t Refused = AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL |
                               AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL |
                               AV_PIX_FMT_FLAG_BAYER | AV_PIX_FMT_FLAG_FLOAT;
  if (Descriptor->flags & Refused) return nullptr;
  // Planar YUV, or one gray component alone (gray with alpha is packed).
  if (!(Descriptor->flags & AV_PIX_FMT_FLAG_PLANAR) && Descriptor->nb_components != 1)
    return nullptr;
  const int Depth = Descriptor->comp[0].depth;
  for (int C = 0; C < Descriptor->nb_components; ++C) {
    const AVComponentDescriptor& Component = Descriptor->comp[C];
    if (Component.depth != Depth || Component.shift != 0) return nullptr;
  }
  if (Depth > 16) return nullptr;
  if (Depth > 8) {
    // Two bytes per sample, in the machine's own order.
    const bool BigEndian = Descriptor->flags & AV_PIX_FMT_FLAG_BE;
    if (BigEndian != (std::endian::native == std::endian::big)) return nullptr;
  }
  return Descriptor;
}

template <class TSample> inline TSample Clip(int AValue, int AMaximum) {
  return static_cast<TSample>(std::clamp(AValue, 0, AMaximum));
}

// One plane: even rows copied, odd rows filtered. ARows.RowBytes counts bytes.
template <class TSample> void DeinterlacePlane(const TPlaneRows& ARows, int AMaximum) {
  const int Count = ARows.RowBytes / static_cast<int>(sizeof(TSample));
  const int Last = ARows.Height - 1;
  const auto SourceRow = [&](int ARow) {
    return reinterpret_cast<const TSample*>(ARows.Source +
                                            std::clamp(ARow, 0, Last) * ARows.SourceStride);
  };
  for (int Row = 0; Row < ARows.Height; ++Row) {
    TSample* Target = reinterpret_cast<TSample*>(ARows.Target + Row * ARows.TargetStride);
    if ((Row & 1) == 0) {
      std::memcpy(Target, SourceRow(Row), static_cast<size_t>(ARows.RowBytes));
      continue;
    }
    const TSample* Up2 = SourceRow(Row - 2);
    const TSample* Up1 = SourceRow(Row - 1);
    const TSample* Here = SourceRow(Row);
    const TSample* Down1 = SourceRow(Row + 1);
    const TSample* Down2 = SourceRow(Row + 2);
    for (int X = 0; X < Count; ++X) {
      const int Sum = -Up2[X] + 4 * Up1[X] + 2 * Here[X] + 4 * Down1[X] - Down2[X];
      Target[X] = Clip<TSample>((Sum + 4) >> 3, AMaximum);
    }
  }
}

} // namespace

bool CanDeinterlace(AVPixelFormat AFormat) { return SupportedDescriptor(AFormat) != nullptr; }

bool DeinterlacePicture(uint8_t* const ATarget[4], const int ATargetLineSizes[4],
                        const uint8_t* const ASource[4], const int ASourceLineSizes[4],
                        AVPixelFormat AFormat, int AWidth, int AHeight) {
  const AVPixFmtDescriptor* Descriptor = SupportedDescriptor(AFormat);
  if (!Descriptor || AWidth <= 0 || AHeight <= 0) return false;
  const int Planes = AVUtil().av_pix_fmt_count_planes(AFormat);
  if (Planes <= 0 || Planes > 4) return false;
  // Every plane is checked before the first is written.
  TPlaneRows Rows[4];
  for (int Plane = 0; Plane < Planes; ++Plane) {
    // Planes 1 and 2 carry the chroma; an alpha plane is full size like the luma.
    const bool Chroma = Plane == 1 || Plane == 2;
    const int Shift = Chroma ? Descriptor->log2_chroma_h : 0;
    const int Height = -((-AHeight) >> Shift); // rounded up
    const int RowBytes = AVUtil().av_image_get_linesize(AFormat, AWidth, Plane);
    if (RowBytes <= 0 || !ATarget[Plane] || !ASource[Plane] || ATargetLineSizes[Plane] < RowBytes ||
        ASourceLineSizes[Plane] < RowBytes)
      return false;
    Rows[Plane] = {ATarget[Plane], ATargetLineSizes[Plane],
                   ASource[Plane], ASourceLineSizes[Plane],
                   Height,         RowBytes};
  }
  const int Depth = Descriptor->comp[0].depth;
  const int Maximum = (1 << Depth) - 1;
  for (int Plane = 0; Plane < Planes; ++Plane) {
    if (Depth > 8)
      DeinterlacePlane<uint16_t>(Rows[Plane], Maximum);
    else
      DeinterlacePlane<uint8_t>(Rows[Plane], Maximum);
  }
  return true;
}

} // namespace pelorix
