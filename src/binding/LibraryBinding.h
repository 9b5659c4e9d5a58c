// Run-time binding of one shared library: the state a binding unit keeps (module handle,
// Bound, Versioned, LastError) and the operations every unit offers. Each library has one
// process-wide TLibraryBinding; its entry slots live in the unit's entry table (see the
// *Hlpr.h headers), filled by the unit's bind routine through BindEntry.
//
// Threads: loading happens before conversions start and is not locked; the entry tables are
// only read afterwards (from any thread).
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelorix {

// The "general exception" of the binding: raised by BindEntry and CheckMediaLibraries.
class TBindingError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TLibraryBinding {
public:
  struct TDescription {
    std::string Stem; // "libavcodec"
    int InterfaceNumber = 0; // 59; 0 = the library has no versioned name
    std::string FixedFileName; // set for libraries that always load by one name
    std::vector<TLibraryBinding*> Family; // libraries of the family it needs, loaded first
    std::function<void(TLibraryBinding&)> BindAll; // binds every entry of the unit's list
  };

  explicit TLibraryBinding(TDescription ADescription);
  TLibraryBinding(const TLibraryBinding&) = delete;
  TLibraryBinding& operator=(const TLibraryBinding&) = delete;

  // "libavcodec.so.59" when Versioned, else "libavcodec.so"; the fixed name where there is one.
  std::string LibraryFileName() const;

  // Loads, binds and marks the library bound. On failure AError receives LastError and the
  // result is false; a library that failed binding stays loaded with the slots bound so far.
  bool InitLibrary(std::string& AError, const std::string& AFolder, bool AVersioned);

  void UnloadLibrary();
  bool IsLibraryBound() const { return Bound; }
  bool IsLibraryLoaded() const { return Handle != nullptr; }
  const std::string& LastError() const { return LastErrorText; }

  // Resolves one entry point into its slot. Raises TBindingError with
  // "Load function %s@%s error: %s" when the library lacks it (the slot is still written).
  template <class TEntry> void BindEntry(const char* AName, TEntry& ASlot) {
    if (!Handle) return;
    void* Address = Resolve(AName);
    ASlot = reinterpret_cast<TEntry>(Address);
    if (!Address) FailEntry(AName);
  }

private:
  void* Resolve(const char* AName);
  [[noreturn]] void FailEntry(const char* AName);
  std::string VersionedFileName() const;

  TDescription Description;
  void* Handle = nullptr;
  bool Bound = false;
  bool Versioned = false;
  std::string LastErrorText;
  std::string ResolveError;
};

// Loads AFileName from AFolder (or through the standard search when AFolder is empty).
// Libraries of AFamily found in the folder are loaded from there first, so that the new
// library's own dependencies on the family resolve to the folder's copies.
// Returns the handle or null; ASystemError receives the loader's text on failure.
void* LoadLibraryFromFolder(const std::string& AFolder, const std::string& AFileName,
                            const std::vector<std::string>& AFamily, std::string& ASystemError);

} // namespace pelorix
