// Loading one shared library from the library folder and resolving its entry points by name.
#include "LibraryBinding.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>

namespace pelorix {

namespace {

std::string JoinPath(const std::string& AFolder, const std::string& AFileName) {
  if (!AFolder.empty() && AFolder.back() == '/') return AFolder + AFileName;
  return AFolder + "/" + AFileName;
}

bool FileExists(const std::string& APath) {
  struct stat Info {};
  return ::stat(APath.c_str(), &Info) == 0;
}

// Libraries stay mapped after their last handle is closed: the media libraries and their own
// dependencies set up process-wide state when they load (thread-local destructors, allocations
// kept in statics) that must not lose its code. Unloading releases the binding's handle; a
// later load of the same file finds it again.
constexpr int LoadMode = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;

std::string LastLoaderError() {
  const char* Text = ::dlerror();
  return Text ? Text : "unknown error";
}

std::string Format(const char* APattern, const std::string& A, const std::string& B,
                   const std::string& C = {}) {
  const int Size = std::snprintf(nullptr, 0, APattern, A.c_str(), B.c_str(), C.c_str());
  std::string Text(static_cast<size_t>(Size), '\0');
  std::snprintf(Text.data(), Text.size() + 1, APattern, A.c_str(), B.c_str(), C.c_str());
  return Text;
}

} // namespace

void* LoadLibraryFromFolder(const std::string& AFolder, const std::string& AFileName,
                            const std::vector<std::string>& AFamily, std::string& ASystemError) {
  ::dlerror();
  if (AFolder.empty()) {
    void* Handle = ::dlopen(AFileName.c_str(), LoadMode);
    if (!Handle) ASystemError = LastLoaderError();
    return Handle;
  }
  // A library asks for its family by soname; the loader reuses an object already loaded
  // under that soname, so loading the folder's copies first makes the dependencies resolve
  // there instead of in the system folders. The new library keeps its own reference to
  // each, so the temporary handles are closed again afterwards.
  std::vector<void*> Preloaded;
  for (const std::string& Member : AFamily) {
    const std::string Path = JoinPath(AFolder, Member);
    if (!FileExists(Path)) continue;
    if (void* Handle = ::dlopen(Path.c_str(), LoadMode)) Preloaded.push_back(Handle);
  }
  ::dlerror();
  void* Handle = ::dlopen(JoinPath(AFolder, AFileName).c_str(), LoadMode);
  if (!Handle) ASystemError = LastLoaderError();
  for (auto It = Preloaded.rbegin(); It != Preloaded.rend(); ++It) ::dlclose(*It);
  return Handle;
}

TLibraryBinding::TLibraryBinding(TDescription ADescription)
    : Description(std::move(ADescription)) {}

std::string TLibraryBinding::VersionedFileName() const {
  if (!Description.FixedFileName.empty()) return Description.FixedFileName;
  return Description.Stem + ".so." + std::to_string(Description.InterfaceNumber);
}

std::string TLibraryBinding::LibraryFileName() const {
  if (!Description.FixedFileName.empty()) return Description.FixedFileName;
  return Versioned ? VersionedFileName() : Description.Stem + ".so";
}

void* TLibraryBinding::Resolve(const char* AName) {
  ::dlerror();
  void* Address = ::dlsym(Handle, AName);
  if (!Address) ResolveError = LastLoaderError();
  return Address;
}

void TLibraryBinding::FailEntry(const char* AName) {
  throw TBindingError(
      Format("Load function %s@%s error: %s", AName, LibraryFileName(), ResolveError));
}

bool TLibraryBinding::InitLibrary(std::string& AError, const std::string& AFolder,
                                  bool AVersioned) {
  Versioned = AVersioned;
  bool Result = true;
  if (!Handle) {
    // The fixed-name libraries (the C runtime) are never part of the library folder.
    const std::string Folder = Description.FixedFileName.empty() ? AFolder : std::string();
    std::vector<std::string> Family;
    for (const TLibraryBinding* Member : Description.Family)
      Family.push_back(Member->VersionedFileName());
    std::string SystemError;
    Handle = LoadLibraryFromFolder(Folder, LibraryFileName(), Family, SystemError);
    if (!Handle) {
      LastErrorText = Format("Load libraray %s error: %s", LibraryFileName(), SystemError);
      Result = false;
    }
  }
  if (Result && !Bound) {
    try {
      Description.BindAll(*this);
      Bound = true;
    } catch (const TBindingError& E) {
      LastErrorText = E.what();
      Result = false;
    }
  }
  if (!Result) AError = LastErrorText;
  return Result;
}

void TLibraryBinding::UnloadLibrary() {
  if (!Handle) return;
  ::dlclose(Handle);
  Handle = nullptr;
  Bound = false;
}

} // namespace pelorix
