// The libswscale binding: its library description and entry table.
#include "SwScaleHlpr.h"

#include "AVUtilHlpr.h"

namespace pelorix {

TSwScaleEntries SwScaleEntries;

TLibraryBinding& SwScaleLibrary() {
  static TLibraryBinding Binding({"libswscale",
                                  LIBSWSCALE_VERSION_MAJOR,
                                  {},
                                  {&AVUtilLibrary()},
                                  [](TLibraryBinding& ABinding) {
                                    auto& Entries = SwScaleEntries;
                                    PELORIX_SWSCALE_ENTRIES(PELORIX_BIND_ENTRY)
                                  }});
  return Binding;
}

} // namespace pelorix
