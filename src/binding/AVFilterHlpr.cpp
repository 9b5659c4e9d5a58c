// The libavfilter binding: its library description and entry table.
#include "AVFilterHlpr.h"

#include "AVCodecHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"

namespace pelorix {

TAVFilterEntries AVFilterEntries;

TLibraryBinding& AVFilterLibrary() {
  static TLibraryBinding Binding({"libavfilter",
                                  LIBAVFILTER_VERSION_MAJOR,
                                  {},
                                  {&AVUtilLibrary(), &SwResampleLibrary(), &SwScaleLibrary(),
                                   &AVCodecLibrary(), &AVFormatLibrary()},
                                  [](TLibraryBinding& ABinding) {
                                    auto& Entries = AVFilterEntries;
                                    PELORIX_AVFILTER_ENTRIES(PELORIX_BIND_ENTRY)
                                  }});
  return Binding;
}

} // namespace pelorix
