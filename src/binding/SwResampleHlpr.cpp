// The libswresample binding: its library description and entry table.
#include "SwResampleHlpr.h"

#include "AVUtilHlpr.h"

namespace pelorix {

TSwResampleEntries SwResampleEntries;

TLibraryBinding& SwResampleLibrary() {
  static TLibraryBinding Binding({"libswresample",
                                  LIBSWRESAMPLE_VERSION_MAJOR,
                                  {},
                                  {&AVUtilLibrary()},
                                  [](TLibraryBinding& ABinding) {
                                    auto& Entries = SwResampleEntries;
                                    PELORIX_SWRESAMPLE_ENTRIES(PELORIX_BIND_ENTRY)
                                  }});
  return Binding;
}

} // namespace pelorix
