// THookBitmap and its canvas; see HookBitmap.h.
#include "HookBitmap.h"

#include <algorithm>
#include <limits>

namespace pelorix {

THookBitmap::THookBitmap(int AWidth, int AHeight) {
  if (AWidth <= 0 || AHeight <= 0) return;
  // Rows of 3 bytes per pixel, rounded up to 4 bytes as in a device-independent bitmap.
  const int64_t Stride = (static_cast<int64_t>(AWidth) * 3 + 3) & ~int64_t{3};
  if (Stride > std::numeric_limits<int>::max() / AHeight) return;
  BitmapWidth = AWidth;
  BitmapHeight = AHeight;
  RowStride = static_cast<int>(Stride);
  Pixels.assign(static_cast<size_t>(Stride) * static_cast<size_t>(AHeight), 0);
}

uint8_t* THookBitmap::ScanLine(int ARow) {
  if (ARow < 0 || ARow >= BitmapHeight) return nullptr;
  return Pixels.data() + static_cast<size_t>(ARow) * static_cast<size_t>(RowStride);
}

const uint8_t* THookBitmap::ScanLine(int ARow) const {
  if (ARow < 0 || ARow >= BitmapHeight) return nullptr;
  return Pixels.data() + static_cast<size_t>(ARow) * static_cast<size_t>(RowStride);
}

void THookCanvas::FillRect(int ALeft, int ATop, int ARight, int ABottom, TBgrColor AColor) {
  const int Left = std::max(ALeft, 0), Right = std::min(ARight, Bitmap.Width());
  const int Top = std::max(ATop, 0), Bottom = std::min(ABottom, Bitmap.Height());
  for (int Y = Top; Y < Bottom; ++Y) {
    uint8_t* Pixel = Bitmap.ScanLine(Y) + 3 * Left;
    for (int X = Left; X < Right; ++X, Pixel += 3) {
      Pixel[0] = AColor.Blue;
      Pixel[1] = AColor.Green;
      Pixel[2] = AColor.Red;
    }
  }
}

void THookCanvas::SetPixel(int AX, int AY, TBgrColor AColor) {
  uint8_t* Row = Bitmap.ScanLine(AY);
  if (!Row || AX < 0 || AX >= Bitmap.Width()) return;
  uint8_t* Pixel = Row + 3 * AX;
  Pixel[0] = AColor.Blue;
  Pixel[1] = AColor.Green;
  Pixel[2] = AColor.Red;
}

TBgrColor THookCanvas::Pixel(int AX, int AY) const {
  const uint8_t* Row = static_cast<const THookBitmap&>(Bitmap).ScanLine(AY);
  if (!Row || AX < 0 || AX >= Bitmap.Width()) return {};
  const uint8_t* Pixel = Row + 3 * AX;
  return {Pixel[0], Pixel[1], Pixel[2]};
}

} // namespace pelorix
