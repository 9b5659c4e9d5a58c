// The libavformat binding: its library description and entry table.
#include "AVFormatHlpr.h"

#include "AVCodecHlpr.h"
#include "AVUtilHlpr.h"
#include "SwResampleHlpr.h"

namespace pelorix {

TAVFormatEntries AVFormatEntries;

TLibraryBinding& AVFormatLibrary() {
  static TLibraryBinding Binding({"libavformat",
                                  LIBAVFORMAT_VERSION_MAJOR,
                                  {},
                                  {&AVUtilLibrary(), &SwResampleLibrary(), &AVCodecLibrary()},
                                  [](TLibraryBinding& ABinding) {
                                    auto& Entries = AVFormatEntries;
                                    PELORIX_AVFORMAT_ENTRIES(PELORIX_BIND_ENTRY)
                                  }});
  return Binding;
}

} // namespace pelorix
