// The C-runtime support binding: the formatted-text and file functions, bound from the C library.
#include "MyUtilHlpr.h"

namespace pelorix {

TMyUtilEntries MyUtilEntries;

TLibraryBinding& MyUtilLibrary() {
  // Always the C library itself, found through the standard search.
  static TLibraryBinding Binding({"libc", 0, "libc.so.6", {}, [](TLibraryBinding& ABinding) {
#define PELORIX_BIND_RENAMED_ENTRY(Slot, Symbol) ABinding.BindEntry(#Symbol, MyUtilEntries.Slot);
                                    PELORIX_MYUTIL_ENTRIES(PELORIX_BIND_RENAMED_ENTRY)
#undef PELORIX_BIND_RENAMED_ENTRY
                                  }});
  return Binding;
}

} // namespace pelorix
