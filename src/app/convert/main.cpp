// pelorix-convert: converts files to one of the window's output formats from the command line,
// through the converter component, with the same output names and options as the window.
#include "BatchRun.h"
#include "ConvertArguments.h"
#include "OutputFormats.h"

#include <cstdio>
#include <string>

namespace pelorix {
namespace {

void ListFormats() {
  for (const TOutputFormat& Format : OutputFormats()) {
    std::string Codecs;
    if (Format.Target == 3)
      Codecs = "MPEG-2 video + AC-3, DVD layout, PAL or NTSC from the source";
    else if (Format.AudioOnly)
      Codecs = Format.AudioCodec;
    else
      Codecs = Format.VideoCodec + " + " + Format.AudioCodec;
    std::printf("%-6s %-26s %s\n", FormatExtension(Format.Text).substr(1).c_str(),
                Format.Text.c_str(), Codecs.c_str());
  }
}

} // namespace
} // namespace pelorix

int main(int argc, char** argv) {
  using namespace pelorix;
  TArguments Args;
  if (const int Status = ParseArguments(argc, argv, Args); Status >= 0) return Status;
  if (Args.ListFormats) {
    ListFormats();
    if (Args.Sources.empty()) return ExitConverted;
  }
  TBatch Batch(Args);
  return Batch.Run();
}
