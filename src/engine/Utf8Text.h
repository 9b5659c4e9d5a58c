// Cutting texts to the byte limits of fixed-size fields without splitting a UTF-8 sequence.
#pragma once

#include <cstddef>
#include <string>

namespace pelorix {

// The longest start of AText that has at most AMaxBytes bytes and ends at a character
// boundary.
inline std::string CutUtf8(const std::string& AText, size_t AMaxBytes) {
  if (AText.size() <= AMaxBytes) return AText;
  size_t End = AMaxBytes;
  // Step back over continuation bytes (10xxxxxx) to the start of the cut character.
  while (End > 0 && (static_cast<unsigned char>(AText[End]) & 0xC0) == 0x80) --End;
  return AText.substr(0, End);
}

} // namespace pelorix
