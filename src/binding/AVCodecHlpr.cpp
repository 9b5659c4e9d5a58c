// The libavcodec binding: its library description and entry table.
#include "AVCodecHlpr.h"

#include "AVUtilHlpr.h"
#include "SwResampleHlpr.h"

namespace pelorix {

TAVCodecEntries AVCodecEntries;

TLibraryBinding& AVCodecLibrary() {
  static TLibraryBinding Binding({"libavcodec",
                                  LIBAVCODEC_VERSION_MAJOR,
                                  {},
                                  {&AVUtilLibrary(), &SwResampleLibrary()},
                                  [](TLibraryBinding& ABinding) {
                                    auto& Entries = AVCodecEntries;
                                    PELORIX_AVCODEC_ENTRIES(PELORIX_BIND_ENTRY)
                                  }});
  return Binding;
}

} // namespace pelorix
