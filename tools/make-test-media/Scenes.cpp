#include "Scenes.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace pelorix::testmedia {

namespace {

// A lattice value in 0..1 from its coordinates and an octave's seed.
double LatticeValue(int64_t AX, int64_t AY, uint32_t ASeed) {
  uint32_t Hash = static_cast<uint32_t>(AX) * 374761393u + static_cast<uint32_t>(AY) * 668265263u +
                  ASeed * 2246822519u;
  Hash = (Hash ^ (Hash >> 13)) * 1274126177u;
  Hash ^= Hash >> 16;
  return (Hash & 0xFFFFu) / 65535.0;
}

// Smoothly interpolated lattice noise of period ACell samples.
double ValueNoise(double AX, double AY, int ACell, uint32_t ASeed) {
  const double X = AX / ACell, Y = AY / ACell;
  const int64_t X0 = static_cast<int64_t>(std::floor(X)), Y0 = static_cast<int64_t>(std::floor(Y));
  const double Fx = X - X0, Fy = Y - Y0;
  const double Sx = Fx * Fx * (3 - 2 * Fx), Sy = Fy * Fy * (3 - 2 * Fy);
  const double Top = LatticeValue(X0, Y0, ASeed) * (1 - Sx) + LatticeValue(X0 + 1, Y0, ASeed) * Sx;
  const double Bottom =
      LatticeValue(X0, Y0 + 1, ASeed) * (1 - Sx) + LatticeValue(X0 + 1, Y0 + 1, ASeed) * Sx;
  return Top * (1 - Sy) + Bottom * Sy;
}

// The camera's world: luma and two chroma planes, wider than the picture by the pan's reach,
// made once per picture size. Detail at every scale from 128 samples down to 2, as in a photo
// of foliage or gravel, with the finest the weakest.
struct TWorld {
  int Width = 0, Height = 0;
  std::vector<uint8_t> Luma, ChromaU, ChromaV; // chroma at full size, subsampled when painted
};

const TWorld& WorldOf(int AWidth, int AHeight) {
  static std::mutex Lock;
  static std::map<std::pair<int, int>, TWorld> Worlds;
  std::scoped_lock Guard(Lock);
  TWorld& World = Worlds[{AWidth, AHeight}];
  if (!World.Luma.empty()) return World;
  World.Width = AWidth + AWidth / 4;
  World.Height = AHeight;
  const size_t Size = static_cast<size_t>(World.Width) * World.Height;
  World.Luma.resize(Size);
  World.ChromaU.resize(Size);
  World.ChromaV.resize(Size);
  static const int Cells[] = {128, 64, 32, 16, 8, 4, 2};
  static const double Weights[] = {0.30, 0.22, 0.16, 0.12, 0.09, 0.06, 0.05};
  for (int Y = 0; Y < World.Height; ++Y)
    for (int X = 0; X < World.Width; ++X) {
      double Value = 0;
      for (int Octave = 0; Octave < 7; ++Octave)
        Value += Weights[Octave] * ValueNoise(X, Y, Cells[Octave], 11u + Octave);
      // Contrast stretched so that the picture spans most of the range, lit from the top.
      const double Light = 0.85 + 0.15 * (1.0 - double(Y) / World.Height);
      const double Luma = 16 + 219 * std::clamp((Value - 0.5) * 1.9 * Light + 0.5, 0.0, 1.0);
      const size_t At = static_cast<size_t>(Y) * World.Width + X;
      World.Luma[At] = static_cast<uint8_t>(std::lround(Luma));
      World.ChromaU[At] = static_cast<uint8_t>(
          std::lround(128 + 40 * (ValueNoise(X, Y, 96, 101u) - 0.5) - 12 * (Value - 0.5)));
      World.ChromaV[At] = static_cast<uint8_t>(
          std::lround(128 + 50 * (ValueNoise(X, Y, 80, 202u) - 0.5) + 10 * (Value - 0.5)));
    }
  return World;
}

uint8_t& At(AVFrame& AFrame, int APlane, int AX, int AY) {
  return AFrame.data[APlane][static_cast<ptrdiff_t>(AY) * AFrame.linesize[APlane] + AX];
}

// The world sample at a fractional position, between its four neighbours.
double Sample(const std::vector<uint8_t>& APlane, int AWidth, double AX, int AY) {
  const int X0 = static_cast<int>(AX);
  const double F = AX - X0;
  const size_t Row = static_cast<size_t>(AY) * AWidth;
  return APlane[Row + X0] * (1 - F) + APlane[Row + std::min(X0 + 1, AWidth - 1)] * F;
}

// xorshift32 grain, as a camera sensor adds it: each picture its own.
struct TGrain {
  uint32_t State;
  explicit TGrain(int64_t AIndex)
      : State(static_cast<uint32_t>(AIndex) * 2654435761u ^ 0x9E3779B9u) {
    if (State == 0) State = 1;
  }
  int Next(int AAmplitude) {
    State ^= State << 13;
    State ^= State >> 17;
    State ^= State << 5;
    return static_cast<int>((State >> 8) % static_cast<uint32_t>(2 * AAmplitude + 1)) - AAmplitude;
  }
};

} // namespace

void FillCameraScene(AVFrame& AFrame, int64_t AIndex) {
  const int Width = AFrame.width, Height = AFrame.height;
  const TWorld& World = WorldOf(Width, Height);
  // A slow pan, 0.7 samples a picture to the right and back, never past the world's edge.
  const double Reach = World.Width - Width - 2;
  const double Travel = std::fmod(AIndex * 0.7, 2 * Reach);
  const double Pan = Travel < Reach ? Travel : 2 * Reach - Travel;
  // A ball (a disc of its own texture) crossing the picture faster than the pan.
  const double BallX = std::fmod(AIndex * 6.0, Width + 200.0) - 100.0;
  const double BallY = Height * 0.55 + Height * 0.2 * std::sin(AIndex * 0.08);
  const double Radius = Height / 9.0;
  TGrain Grain(AIndex);
  for (int Y = 0; Y < Height; ++Y)
    for (int X = 0; X < Width; ++X) {
      double Luma = Sample(World.Luma, World.Width, X + Pan, Y);
      const double Dx = X - BallX, Dy = Y - BallY;
      if (Dx * Dx + Dy * Dy < Radius * Radius)
        Luma = 60 + 150 * ValueNoise(Dx + 1000, Dy + 1000, 6, 77u) * (1 - 0.4 * Dy / Radius);
      At(AFrame, 0, X, Y) =
          static_cast<uint8_t>(std::clamp<int>(std::lround(Luma) + Grain.Next(2), 16, 235));
    }
  for (int Y = 0; Y < (Height + 1) / 2; ++Y)
    for (int X = 0; X < (Width + 1) / 2; ++X) {
      const int Sx = std::min(2 * X, Width - 1), Sy = std::min(2 * Y, Height - 1);
      double U = Sample(World.ChromaU, World.Width, Sx + Pan, Sy);
      double V = Sample(World.ChromaV, World.Width, Sx + Pan, Sy);
      const double Dx = Sx - BallX, Dy = Sy - BallY;
      if (Dx * Dx + Dy * Dy < Radius * Radius) {
        U = 90;
        V = 170;
      }
      At(AFrame, 1, X, Y) =
          static_cast<uint8_t>(std::clamp<int>(std::lround(U) + Grain.Next(1), 16, 240));
      At(AFrame, 2, X, Y) =
          static_cast<uint8_t>(std::clamp<int>(std::lround(V) + Grain.Next(1), 16, 240));
    }
}

void FillCartoon(AVFrame& AFrame, int64_t AIndex) {
  const int Width = AFrame.width, Height = AFrame.height;
  const double Horizon = Height * 0.62;
  const double Outline = std::max(2.0, Height / 240.0);
  struct TShape {
    double X, Y, Radius;
    uint8_t Y0, U, V;
  };
  // A sun that stays, a ball and a box that move.
  const TShape Shapes[] = {
      {Width * 0.82, Height * 0.2, Height * 0.09, 210, 60, 150},
      {std::fmod(AIndex * 5.0, Width + 300.0) - 150,
       Horizon - Height * 0.12 - std::abs(std::sin(AIndex * 0.12)) * Height * 0.25, Height * 0.08,
       120, 100, 200},
  };
  const double BoxLeft = Width * 0.15 + Width * 0.1 * std::sin(AIndex * 0.05);
  const double BoxTop = Horizon - Height * 0.2, BoxSize = Height * 0.22;
  for (int Y = 0; Y < Height; ++Y)
    for (int X = 0; X < Width; ++X) {
      uint8_t L, U, V;
      if (Y < Horizon) {
        L = 170, U = 160, V = 110; // sky
      } else {
        L = 110, U = 90, V = 100; // grass
      }
      if (std::abs(Y - Horizon) < Outline / 2) L = 30, U = 128, V = 128;
      // The box: flat, outlined.
      const double Bx = X - BoxLeft, By = Y - BoxTop;
      if (Bx >= -Outline && Bx < BoxSize + Outline && By >= -Outline && By < BoxSize + Outline) {
        const bool Edge = Bx < 0 || By < 0 || Bx >= BoxSize || By >= BoxSize;
        L = Edge ? 25 : 150, U = Edge ? 128 : 70, V = Edge ? 128 : 160;
      }
      for (const TShape& Shape : Shapes) {
        const double Distance = std::hypot(X - Shape.X, Y - Shape.Y);
        if (Distance < Shape.Radius + Outline) {
          const bool Edge = Distance >= Shape.Radius;
          L = Edge ? 25 : Shape.Y0, U = Edge ? 128 : Shape.U, V = Edge ? 128 : Shape.V;
        }
      }
      At(AFrame, 0, X, Y) = L;
      if ((X & 1) == 0 && (Y & 1) == 0) {
        At(AFrame, 1, X / 2, Y / 2) = U;
        At(AFrame, 2, X / 2, Y / 2) = V;
      }
    }
}

} // namespace pelorix::testmedia
