// THookBitmap: the 24-bit picture the engine hands to the custom hook, and its drawing surface.
//
// Three bytes per pixel in the order blue, green, red; row 0 is the top row; every row starts
// on a 4-byte boundary (Stride() bytes apart), so a window can wrap the rows for drawing
// without copying them. The bitmap belongs to the engine: it is made at the first picture the
// custom hook receives and freed by the engine's clean-up at the end of the run.
//
// Threads: the engine fills the bitmap, locks its canvas, calls the hook and unlocks it, all
// on the run's thread. The hook may draw on it there, or keep the bitmap and draw from another
// thread while holding the canvas lock; the lock is recursive, so the hook may take it again.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace pelorix {

struct TBgrColor {
  uint8_t Blue = 0, Green = 0, Red = 0;
  bool operator==(const TBgrColor&) const = default;
};

class THookBitmap;

// The drawing surface of a hook bitmap. Drawing is clipped to the bitmap.
class THookCanvas {
public:
  explicit THookCanvas(THookBitmap& ABitmap) : Bitmap(ABitmap) {}
  THookCanvas(const THookCanvas&) = delete;
  THookCanvas& operator=(const THookCanvas&) = delete;

  void Lock() { Guard.lock(); }
  void Unlock() { Guard.unlock(); }
  bool TryLock() { return Guard.try_lock(); }

  // Fills the pixels with ALeft <= x < ARight and ATop <= y < ABottom.
  void FillRect(int ALeft, int ATop, int ARight, int ABottom, TBgrColor AColor);
  void SetPixel(int AX, int AY, TBgrColor AColor);
  // Black outside the bitmap.
  TBgrColor Pixel(int AX, int AY) const;

private:
  THookBitmap& Bitmap;
  std::recursive_mutex Guard;
};

class THookBitmap {
public:
  static constexpr int BitsPerPixel = 24;

  // A black bitmap; a size that is not positive gives an empty one.
  THookBitmap(int AWidth, int AHeight);
  THookBitmap(const THookBitmap&) = delete;
  THookBitmap& operator=(const THookBitmap&) = delete;

  int Width() const { return BitmapWidth; }
  int Height() const { return BitmapHeight; }
  int Stride() const { return RowStride; } // bytes from one row to the next
  bool Empty() const { return Pixels.empty(); }

  // Row ARow (0 = top), Width() pixels of blue, green, red; null outside the bitmap.
  uint8_t* ScanLine(int ARow);
  const uint8_t* ScanLine(int ARow) const;

  THookCanvas& Canvas() { return BitmapCanvas; }

private:
  int BitmapWidth = 0;
  int BitmapHeight = 0;
  int RowStride = 0;
  std::vector<uint8_t> Pixels;
  THookCanvas BitmapCanvas{*this};
};

// Holds a canvas locked for as long as it lives, however the scope is left.
class THookCanvasLock {
public:
  explicit THookCanvasLock(THookCanvas& ACanvas) : Canvas(ACanvas) { Canvas.Lock(); }
  ~THookCanvasLock() { Canvas.Unlock(); }
  THookCanvasLock(const THookCanvasLock&) = delete;
  THookCanvasLock& operator=(const THookCanvasLock&) = delete;

private:
  THookCanvas& Canvas;
};

} // namespace pelorix
