// The libavutil binding: its library description and entry table.
#include "AVUtilHlpr.h"

namespace pelorix {

TAVUtilEntries AVUtilEntries;

TLibraryBinding& AVUtilLibrary() {
  static TLibraryBinding Binding(
      {"libavutil", LIBAVUTIL_VERSION_MAJOR, {}, {}, [](TLibraryBinding& ABinding) {
         auto& Entries = AVUtilEntries;
         PELORIX_AVUTIL_ENTRIES(PELORIX_BIND_ENTRY)
       }});
  return Binding;
}

} // namespace pelorix
