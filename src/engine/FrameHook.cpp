// Video hook modules: adding, processing and releasing the modules of one engine, and the
// process-wide cache of their libraries.
//
// Owner: the module list belongs to its engine, the cache to the process. Threads: see
// FrameHook.h.
#include "FrameHook.h"

#include "MediaLibraries.h"

#include <dlfcn.h>

#include <cstdlib>
#include <memory>

namespace pelorix {

namespace {

using TModulePtr = std::unique_ptr<TFrameHookModule, TAvFreeDeleter>;

// Module failures go to the libraries' log at the error level, like the libraries' own lines.
void LogHookError(const char* AFormat, const char* AText) {
  AVUtil().av_log(nullptr, LibraryLogLevelOf(0), AFormat, AText);
}

// The cache key of a module path. A path with a folder part is made canonical, so that two
// spellings of one file share an entry, and compared exactly: letter case matters here, two
// names that differ only in case are two files. A bare name stays as given: the loader looks
// it up along its own search path, not in the current directory.
std::string ModuleKey(const std::string& APath) {
  if (APath.find('/') == std::string::npos) return APath;
  std::unique_ptr<char, decltype(&std::free)> Resolved(::realpath(APath.c_str(), nullptr),
                                                       &std::free);
  return Resolved ? std::string(Resolved.get()) : APath;
}

template <class TEntry> TEntry FindEntry(void* ALibrary, const char* AName) {
  return reinterpret_cast<TEntry>(::dlsym(ALibrary, AName));
}

} // namespace

void* THookModuleCache::Acquire(const std::string& APath, std::string& AError) {
  const std::string Key = ModuleKey(APath);
  std::lock_guard Guard(Lock);
  for (const auto& [Path, Handle] : Entries)
    if (Path == Key) return Handle;
  // A module's dependencies are found through its own run path ($ORIGIN for its folder);
  // nothing process-wide (search path, current directory) is changed for it. The library is
  // never closed, and RTLD_NODELETE keeps its code mapped whatever else might close it: a
  // module may leave threads or exit handlers behind.
  void* Handle = ::dlopen(Key.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!Handle) {
    const char* Text = ::dlerror();
    AError = Text ? Text : "cannot load " + Key;
    return nullptr;
  }
  Entries.emplace_back(Key, Handle);
  return Handle;
}

size_t THookModuleCache::Count() const {
  std::lock_guard Guard(Lock);
  return Entries.size();
}

THookModuleCache& HookModuleCache() {
  static THookModuleCache Cache;
  return Cache;
}

TFrameHookList::TFrameHookList(TFrameHookList&& AOther) noexcept
    : Head(std::exchange(AOther.Head, nullptr)), ArgumentTexts(std::move(AOther.ArgumentTexts)) {}

TFrameHookList& TFrameHookList::operator=(TFrameHookList&& AOther) noexcept {
  if (this != &AOther) {
    ReleaseFrameHooks(*this);
    Head = std::exchange(AOther.Head, nullptr);
    ArgumentTexts = std::move(AOther.ArgumentTexts);
  }
  return *this;
}

TFrameHookList::~TFrameHookList() { ReleaseFrameHooks(*this); }

int AddFrameHook(TFrameHookList& AList, int AArgc, char* AArgv[]) {
  if (AArgc < 1) return HookEntryMissing;
  std::string Error;
  void* Library = HookModuleCache().Acquire(AArgv[0], Error);
  if (!Library) {
    LogHookError("%s\n", Error.c_str());
    return HookLoadFailed;
  }
  // The entry is owned here until it joins the list, so a refused module leaves nothing behind.
  TModulePtr Module(static_cast<TFrameHookModule*>(AVUtil().av_mallocz(sizeof(TFrameHookModule))));
  if (!Module) return HookOutOfMemory;
  Module->Configure = FindEntry<TPelorixHookConfigure>(Library, "Configure");
  Module->Process = FindEntry<TPelorixHookProcess>(Library, "Process");
  Module->Release = FindEntry<TPelorixHookRelease>(Library, "Release");
  if (!Module->Process) {
    LogHookError("Failed to find Process entrypoint in %s\n", AArgv[0]);
    return HookEntryMissing;
  }
  if (!Module->Configure && AArgc > 1) {
    LogHookError("Failed to find Configure entrypoint in %s\n", AArgv[0]);
    return HookEntryMissing;
  }
  if (Module->Configure && Module->Configure(&Module->Context, AArgc, AArgv) != 0) {
    LogHookError("Failed to Configure %s\n", AArgv[0]);
    return HookConfigureFailed;
  }
  TFrameHookModule** Tail = &AList.Head;
  while (*Tail) Tail = &(*Tail)->Next;
  *Tail = Module.release();
  return 0;
}

void ProcessFrameHooks(const TFrameHookModule* AFirst, TPelorixHookPicture& APicture,
                       AVPixelFormat APixFmt, int AWidth, int AHeight, int64_t APts) {
  for (const TFrameHookModule* Module = AFirst; Module; Module = Module->Next)
    Module->Process(Module->Context, &APicture, APixFmt, AWidth, AHeight, APts);
}

void ReleaseFrameHooks(TFrameHookList& AList) {
  TFrameHookModule* Next = std::exchange(AList.Head, nullptr);
  while (Next) {
    TModulePtr Module(Next);
    Next = Module->Next;
    if (Module->Release) Module->Release(Module->Context);
  }
  AList.ArgumentTexts.clear();
}

} // namespace pelorix
