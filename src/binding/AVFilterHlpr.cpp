#include "AVFilterHlpr.h"

#include "AVUtilHlpr.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"
#include "AVCodecHlpr.h"
#include "AVFormatHlpr.h"

namespace pelorix {

TAVFilterEntries AVFilterEntries;

TLibraryBinding& AVFilterLibrary() {
  static TLibraryBinding Binding({
      "libavfilter", LIBAVFILTER_VERSION_MAJOR, {},
      {&AVUtilLibrary(), &SwResampleLibrary(), &SwScaleLibrary(), &AVCodecLibrary(), &AVFormatLibrary()},
      [](TLibraryBinding& ABinding) {
        auto& Entries = AVFilterEntries;
        PELORIX_AVFILTER_ENTRIES(PELORIX_BIND_ENTRY)
      }});
  return Binding;
}

} // namespace pelorix
