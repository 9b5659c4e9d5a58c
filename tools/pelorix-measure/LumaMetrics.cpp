#include "LumaMetrics.h"

#include <algorithm>
#include <cmath>

namespace pelorix::measure {

namespace {

// The sums of one block of samples of the two planes.
struct TBlockSums {
  double Reference = 0, Distorted = 0; // sum a, sum b
  double Squares = 0; // sum a^2 + b^2
  double Products = 0; // sum a * b

  void Add(const TBlockSums& AOther) {
    Reference += AOther.Reference;
    Distorted += AOther.Distorted;
    Squares += AOther.Squares;
    Products += AOther.Products;
  }
};

TBlockSums SumsOf(const TLumaPlane& A, const TLumaPlane& B, int AX, int AY, int AWidth,
                  int AHeight) {
  TBlockSums Sums;
  for (int Y = AY; Y < AY + AHeight; ++Y)
    for (int X = AX; X < AX + AWidth; ++X) {
      const size_t At = static_cast<size_t>(Y) * A.Width + X;
      const double P = A.Samples[At], Q = B.Samples[At];
      Sums.Reference += P;
      Sums.Distorted += Q;
      Sums.Squares += P * P + Q * Q;
      Sums.Products += P * Q;
    }
  return Sums;
}

// The similarity of a window of ACount samples from its sums.
double WindowSsim(const TBlockSums& S, double ACount) {
  const double C1 = 0.01 * 0.01 * 255 * 255 * ACount * ACount;
  const double C2 = 0.03 * 0.03 * 255 * 255 * ACount * (ACount - 1);
  const double Means = S.Reference * S.Distorted;
  const double Variances =
      S.Squares * ACount - S.Reference * S.Reference - S.Distorted * S.Distorted;
  const double Covariance = S.Products * ACount - Means;
  return (2 * Means + C1) * (2 * Covariance + C2) /
         ((S.Reference * S.Reference + S.Distorted * S.Distorted + C1) * (Variances + C2));
}

} // namespace

double LumaPsnr(const TLumaPlane& AReference, const TLumaPlane& ADistorted) {
  double Squared = 0;
  for (size_t I = 0; I < AReference.Samples.size(); ++I) {
    const double Difference = double(AReference.Samples[I]) - ADistorted.Samples[I];
    Squared += Difference * Difference;
  }
  if (Squared == 0 || AReference.Samples.empty()) return PsnrOfIdentical;
  const double Mse = Squared / static_cast<double>(AReference.Samples.size());
  return std::min(PsnrOfIdentical, 10.0 * std::log10(255.0 * 255.0 / Mse));
}

double LumaSsim(const TLumaPlane& AReference, const TLumaPlane& ADistorted) {
  const int Width = AReference.Width, Height = AReference.Height;
  if (Width < 8 || Height < 8)
    return WindowSsim(SumsOf(AReference, ADistorted, 0, 0, Width, Height),
                      static_cast<double>(Width) * Height);
  // Sums of 4x4 blocks; each 8x8 window is four neighbouring blocks.
  const int Columns = Width / 4, Rows = Height / 4;
  std::vector<TBlockSums> Previous(Columns), Current(Columns);
  double Total = 0;
  int64_t Windows = 0;
  for (int Row = 0; Row < Rows; ++Row) {
    for (int Column = 0; Column < Columns; ++Column)
      Current[Column] = SumsOf(AReference, ADistorted, Column * 4, Row * 4, 4, 4);
    if (Row > 0)
      for (int Column = 1; Column < Columns; ++Column) {
        TBlockSums Window = Previous[Column - 1];
        Window.Add(Previous[Column]);
        Window.Add(Current[Column - 1]);
        Window.Add(Current[Column]);
        Total += WindowSsim(Window, 64);
        ++Windows;
      }
    std::swap(Previous, Current);
  }
  return Windows > 0 ? Total / static_cast<double>(Windows) : 1.0;
}

} // namespace pelorix::measure
