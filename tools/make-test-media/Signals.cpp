#include "Signals.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace pelorix::testmedia {

namespace {

constexpr double ToneAmplitude = 0.5;
constexpr int BoxSize = 16;

uint8_t LumaAt(int AX, int AY, int64_t AHalfFrames, int AWidth, int AHeight) {
  const int64_t BoxLeft = (AHalfFrames * 2) % (AWidth - BoxSize);
  const int BoxTop = AHeight / 3;
  if (AX >= BoxLeft && AX < BoxLeft + BoxSize && AY >= BoxTop && AY < BoxTop + BoxSize) return 235;
  return static_cast<uint8_t>(16 + (AX * 2 + AY + AHalfFrames * 3) % 200);
}

void StoreSample(AVFrame& AFrame, int AChannel, int AIndex, double AValue) {
  const auto Format = static_cast<AVSampleFormat>(AFrame.format);
  const bool Planar = av_sample_fmt_is_planar(Format);
  const int Channels = AFrame.ch_layout.nb_channels;
  uint8_t* Plane = AFrame.extended_data[Planar ? AChannel : 0];
  const int Slot = Planar ? AIndex : AIndex * Channels + AChannel;
  switch (av_get_packed_sample_fmt(Format)) {
  case AV_SAMPLE_FMT_S16:
    reinterpret_cast<int16_t*>(Plane)[Slot] = static_cast<int16_t>(std::lrint(AValue * 32767.0));
    break;
  case AV_SAMPLE_FMT_S32:
    reinterpret_cast<int32_t*>(Plane)[Slot] =
        static_cast<int32_t>(std::lrint(AValue * 2147483647.0));
    break;
  case AV_SAMPLE_FMT_FLT:
    reinterpret_cast<float*>(Plane)[Slot] = static_cast<float>(AValue);
    break;
  case AV_SAMPLE_FMT_DBL:
    reinterpret_cast<double*>(Plane)[Slot] = AValue;
    break;
  default:
    break; // excluded by CanFillSampleFormat
  }
}

} // namespace

void FillTestPattern(AVFrame& AFrame, int64_t AIndex, bool AFieldsApart) {
  const int Width = AFrame.width;
  const int Height = AFrame.height;
  for (int Y = 0; Y < Height; ++Y) {
    const int64_t HalfFrames = AIndex * 2 + (AFieldsApart ? (Y & 1) : 0);
    uint8_t* Row = AFrame.data[0] + static_cast<ptrdiff_t>(Y) * AFrame.linesize[0];
    for (int X = 0; X < Width; ++X) Row[X] = LumaAt(X, Y, HalfFrames, Width, Height);
  }
  for (int Y = 0; Y < (Height + 1) / 2; ++Y) {
    uint8_t* U = AFrame.data[1] + static_cast<ptrdiff_t>(Y) * AFrame.linesize[1];
    uint8_t* V = AFrame.data[2] + static_cast<ptrdiff_t>(Y) * AFrame.linesize[2];
    for (int X = 0; X < (Width + 1) / 2; ++X) {
      U[X] = static_cast<uint8_t>(64 + (X * 4 + AIndex * 2) % 128);
      V[X] = static_cast<uint8_t>(64 + (Y * 4 + AIndex) % 128);
    }
  }
}

void MarkCorners(AVFrame& AFrame) {
  constexpr int Mark = 16;
  for (int Y = 0; Y < std::min(Mark, AFrame.height); ++Y)
    for (int X = 0; X < std::min(Mark, AFrame.width); ++X) {
      const int Right = AFrame.width - 1 - X, Bottom = AFrame.height - 1 - Y;
      uint8_t* Luma = AFrame.data[0];
      const ptrdiff_t Stride = AFrame.linesize[0];
      Luma[Y * Stride + X] = 235;
      Luma[Y * Stride + Right] = 16;
      Luma[Bottom * Stride + X] = 16;
      Luma[Bottom * Stride + Right] = 16;
    }
}

void AddNoise(AVFrame& AFrame, int64_t AIndex, int AAmplitude) {
  // xorshift32, seeded from the picture number; the seed must not be zero.
  uint32_t State = static_cast<uint32_t>(AIndex) * 2654435761u ^ 0x2545F491u;
  if (State == 0) State = 1;
  const int Span = 2 * AAmplitude + 1;
  for (int Plane = 0; Plane < 3; ++Plane) {
    const int Width = Plane == 0 ? AFrame.width : (AFrame.width + 1) / 2;
    const int Height = Plane == 0 ? AFrame.height : (AFrame.height + 1) / 2;
    for (int Y = 0; Y < Height; ++Y) {
      uint8_t* Row = AFrame.data[Plane] + static_cast<ptrdiff_t>(Y) * AFrame.linesize[Plane];
      for (int X = 0; X < Width; ++X) {
        State ^= State << 13;
        State ^= State >> 17;
        State ^= State << 5;
        const int Grain = static_cast<int>((State >> 8) % static_cast<uint32_t>(Span)) - AAmplitude;
        Row[X] = static_cast<uint8_t>(std::clamp(Row[X] + Grain, 0, 255));
      }
    }
  }
}

void FillTones(AVFrame& AFrame, int64_t AFirstSample, const std::vector<double>& AToneHz) {
  const double Rate = AFrame.sample_rate;
  for (int Channel = 0; Channel < AFrame.ch_layout.nb_channels; ++Channel) {
    const double Step = 2.0 * std::numbers::pi * AToneHz[Channel % AToneHz.size()] / Rate;
    for (int Index = 0; Index < AFrame.nb_samples; ++Index) {
      // The phase is taken from the absolute sample position, so frames join without a seam.
      const double Phase = Step * static_cast<double>(AFirstSample + Index);
      StoreSample(AFrame, Channel, Index, ToneAmplitude * std::sin(Phase));
    }
  }
}

bool CanFillSampleFormat(AVSampleFormat AFormat) {
  switch (av_get_packed_sample_fmt(AFormat)) {
  case AV_SAMPLE_FMT_S16:
  case AV_SAMPLE_FMT_S32:
  case AV_SAMPLE_FMT_FLT:
  case AV_SAMPLE_FMT_DBL:
    return true;
  default:
    return false;
  }
}

} // namespace pelorix::testmedia
