// Reads the pictures of a file's first video stream one after the other, in the order they
// show, as 8-bit luma planes of a chosen size: what the measuring program compares.
//
// Threads: one reader belongs to the thread that made it.
#pragma once

#include "MediaObjects.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pelorix::measure {

// One picture's luma samples, Width x Height, rows packed.
struct TLumaPlane {
  int Width = 0, Height = 0;
  std::vector<uint8_t> Samples;
};

class TLumaReader {
public:
  // Opens AFileName; Error() says why when it fails.
  explicit TLumaReader(const std::string& AFileName);
  TLumaReader(const TLumaReader&) = delete;
  TLumaReader& operator=(const TLumaReader&) = delete;

  bool Opened() const { return Decoder != nullptr; }
  const std::string& Error() const { return ErrorText; }
  int Width() const; // the stream's picture size
  int Height() const;

  // The next picture, brought to AWidth x AHeight when it has another size; false at the end
  // of the stream or on a decoding failure (Error() then says which).
  bool Next(int AWidth, int AHeight, TLumaPlane& APlane);

private:
  bool ReceivePicture();
  void TakeLuma(int AWidth, int AHeight, TLumaPlane& APlane);

  std::string ErrorText;
  TInputContextPtr Input;
  TCodecContextPtr Decoder;
  TPacketPtr Packet;
  TFramePtr Picture;
  TFramePtr Scaled;
  TScaleContextPtr Scaler;
  int StreamIndex = -1;
  bool Draining = false;
};

} // namespace pelorix::measure
