// pelorix-measure: how close a file's pictures are to a reference file's, picture by picture.
//
//   pelorix-measure [--at-distorted-size] REFERENCE DISTORTED
//
// Decodes the first video stream of both (through the engine's library binding, from the
// library folder beside the program), pairs the pictures in the order they show, brings the
// distorted ones to the reference's size when they differ, and prints one line:
//
//   pictures=REF/DIST compared=N psnr=DB ssim=S
//
// psnr is the mean of the pictures' luma PSNR (identical pictures count 100 dB), ssim the
// mean of their luma SSIM. When the counts differ, the common span (the first N pictures of
// each) is compared. With --at-distorted-size the reference's pictures are brought to the
// distorted's size instead: for an output made smaller on purpose this measures its encoding of
// the pictures it was given, where the reference's size measures the loss of detail first.
// Exit status: 0 measured, 1 a file cannot be read or has no pictures, 2 usage.
#include "LumaMetrics.h"
#include "LumaReader.h"
#include "MediaLibraries.h"
#include "ProgramFolder.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace pelorix;
using namespace pelorix::measure;

namespace {

int Fail(const std::string& AText) {
  std::fprintf(stderr, "pelorix-measure: %s\n", AText.c_str());
  return 1;
}

// Counts the pictures left in AReader.
int64_t CountRest(TLumaReader& AReader, int AWidth, int AHeight, TLumaPlane& APlane) {
  int64_t Count = 0;
  while (AReader.Next(AWidth, AHeight, APlane)) ++Count;
  return Count;
}

} // namespace

int main(int argc, char** argv) {
  const bool AtDistortedSize = argc == 4 && std::strcmp(argv[1], "--at-distorted-size") == 0;
  if (argc != 3 && !AtDistortedSize) {
    std::fputs("usage: pelorix-measure [--at-distorted-size] REFERENCE DISTORTED\n", stderr);
    return 2;
  }
  std::string Error;
  if (!LoadProbeLibraries(Error, ProgramFolder() + "lib", true)) return Fail(Error);
  TLumaReader Reference(argv[argc - 2]), Distorted(argv[argc - 1]);
  if (!Reference.Opened()) return Fail(Reference.Error());
  if (!Distorted.Opened()) return Fail(Distorted.Error());

  const TLumaReader& Sized = AtDistortedSize ? Distorted : Reference;
  const int Width = Sized.Width(), Height = Sized.Height();
  TLumaPlane A, B;
  int64_t Compared = 0;
  double PsnrSum = 0, SsimSum = 0;
  for (;;) {
    const bool HaveA = Reference.Next(Width, Height, A);
    const bool HaveB = HaveA && Distorted.Next(Width, Height, B);
    if (!HaveB) {
      const int64_t ReferenceCount =
          Compared + (HaveA ? 1 : 0) + CountRest(Reference, Width, Height, A);
      const int64_t DistortedCount = Compared + CountRest(Distorted, Width, Height, B);
      if (Compared == 0) return Fail("no pictures to compare");
      std::printf("pictures=%lld/%lld compared=%lld psnr=%.3f ssim=%.5f\n",
                  static_cast<long long>(ReferenceCount), static_cast<long long>(DistortedCount),
                  static_cast<long long>(Compared), PsnrSum / Compared, SsimSum / Compared);
      return 0;
    }
    PsnrSum += LumaPsnr(A, B);
    SsimSum += LumaSsim(A, B);
    ++Compared;
  }
}
