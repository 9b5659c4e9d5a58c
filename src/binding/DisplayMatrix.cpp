// The turn of a display matrix (see DisplayMatrix.h).
#include "DisplayMatrix.h"

#include "AVUtilHlpr.h"

#include <cmath>
#include <cstring>

namespace pelorix {

TPictureTurn TurnOfMatrix(const int32_t AMatrix[9]) {
  // A point (p, q) of the stored picture shows at (a p + c q, b p + d q), rows counted
  // downwards. A negative determinant mirrors the picture; taking the mirror image first
  // (p becomes -p) leaves a pure rotation, whose angle the utility library reads.
  const double A = AMatrix[0], B = AMatrix[1], C = AMatrix[3], D = AMatrix[4];
  TPictureTurn Turn;
  Turn.Mirrored = A * D - B * C < 0;
  int32_t Rotation[9];
  for (int I = 0; I < 9; ++I) Rotation[I] = AMatrix[I];
  if (Turn.Mirrored) {
    Rotation[0] = -AMatrix[0];
    Rotation[1] = -AMatrix[1];
  }
  // The library's angle turns counterclockwise; ours clockwise, in quarter turns.
  const double Angle = AVUtil().av_display_rotation_get(Rotation);
  if (std::isnan(Angle)) return TPictureTurn{};
  const long Quarters = std::lround(-Angle / 90.0);
  Turn.Rotation = static_cast<int32_t>(((Quarters % 4) + 4) % 4 * 90);
  return Turn;
}

TPictureTurn TurnOfStream(const AVStream* AStream) {
  size_t Size = 0;
  const uint8_t* Data =
      AVFormat().av_stream_get_side_data(AStream, AV_PKT_DATA_DISPLAYMATRIX, &Size);
  if (!Data || Size < 9 * sizeof(int32_t)) return TPictureTurn{};
  int32_t Matrix[9]; // native byte order; the side data need not be aligned for it
  std::memcpy(Matrix, Data, sizeof Matrix);
  return TurnOfMatrix(Matrix);
}

} // namespace pelorix
