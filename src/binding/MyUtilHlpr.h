// Binding unit of the C-runtime support functions. The engine formats texts, parses numbers
// and writes its statistics files through these twelve entries; on Linux the engine and the
// media libraries share one C library, so the entries are bound from it directly.
#pragma once

#include "EntryTable.h"
#include "LibraryBinding.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Slot name, exported symbol.
#define PELORIX_MYUTIL_ENTRIES(X) \
  X(my_vsprintf, vsprintf) \
  X(my_fprintf, fprintf) \
  X(my_snprintf, snprintf) \
  X(my_fopen, fopen) \
  X(my_ftell, ftell) \
  X(my_fread, fread) \
  X(my_fwrite, fwrite) \
  X(my_fseek, fseek) \
  X(my_fclose, fclose) \
  X(my_strtok, strtok) \
  X(my_strtol, strtol) \
  X(my_strtod, strtod)

namespace pelorix {

#define PELORIX_DECLARE_RENAMED_ENTRY(Slot, Symbol) decltype(&::Symbol) Slot = nullptr;
struct TMyUtilEntries {
  PELORIX_MYUTIL_ENTRIES(PELORIX_DECLARE_RENAMED_ENTRY)
};
#undef PELORIX_DECLARE_RENAMED_ENTRY

extern TMyUtilEntries MyUtilEntries;
inline const TMyUtilEntries& MyUtil() { return MyUtilEntries; }
TLibraryBinding& MyUtilLibrary();

} // namespace pelorix
