// Video hook modules: the modules an engine added with "vhook", and the process-wide cache of
// the module libraries.
//
// Owner: each engine owns its module list (THookState::Modules); the cache belongs to the
// process. Threads: modules are added on the thread that sets the options, processed and
// released on the thread that runs the conversion; the cache is locked, the lists are not.
// The module interface itself is include/pelorix/hook_module.h.
#pragma once

#include "MediaObjects.h"

#include <pelorix/hook_module.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace pelorix {

// One added module, allocated zero-filled by the libraries' allocator and kept in a singly
// linked list in the order of adding.
struct TFrameHookModule {
  TFrameHookModule* Next;
  TPelorixHookConfigure Configure; // null when the module has none
  TPelorixHookProcess Process;
  TPelorixHookRelease Release; // null when the module has none
  void* Context; // written by Configure
};

// The module list of one engine. Destroying or overwriting it releases the modules.
struct TFrameHookList {
  TFrameHookModule* Head = nullptr;
  // The argument texts handed to Configure; a module may keep pointers into them, so they
  // live until the modules are released.
  std::vector<TAvString> ArgumentTexts;

  TFrameHookList() = default;
  TFrameHookList(TFrameHookList&& AOther) noexcept;
  TFrameHookList& operator=(TFrameHookList&& AOther) noexcept;
  ~TFrameHookList();
};

// Results of AddFrameHook: 0 on success, else one of these.
constexpr int HookLoadFailed = -1; // the library did not load
constexpr int HookEntryMissing = AVERROR(ENOENT); // -2: no arguments, no Process, or
    //     arguments without Configure
constexpr int HookOutOfMemory = AVERROR(ENOMEM); // -12
constexpr int HookConfigureFailed = AVERROR(EINVAL); // -22: Configure refused

// Loads the module AArgv[0] (or takes it from the cache), configures it with the whole
// argument vector and appends it to AList. Failures are logged through the libraries' log
// at the error level.
int AddFrameHook(TFrameHookList& AList, int AArgc, char* AArgv[]);

// Hands the picture to every module from AFirst on, in list order.
void ProcessFrameHooks(const TFrameHookModule* AFirst, TPelorixHookPicture& APicture,
                       AVPixelFormat APixFmt, int AWidth, int AHeight, int64_t APts);

// Releases every module in list order, frees the entries and the argument texts, and
// leaves the list empty.
void ReleaseFrameHooks(TFrameHookList& AList);

// The libraries of every module any engine has added, by path. A library is loaded once,
// reused for the same path and never unloaded.
class THookModuleCache {
public:
  // The library for APath, loaded on first use; null with the loader's text in AError.
  void* Acquire(const std::string& APath, std::string& AError);
  size_t Count() const;

private:
  mutable std::mutex Lock;
  std::vector<std::pair<std::string, void*>> Entries; // key: canonical path
};

THookModuleCache& HookModuleCache();

} // namespace pelorix
