// The whole set of media libraries as the engine and the probe see it.
//
// Engine side: LoadMediaLibraries loads and binds codec, filter, format, utility, scaling,
// resampling and support library in that order and either has them all or none. Probe side:
// LoadProbeLibraries needs only codec, format, utility and scaling. Both work on the same
// per-library state. A successful load is never undone for the life of the process.
//
// Threads: load before any conversion starts; nothing here is locked. MediaLogLevel is read by
// the log routing on any thread.
#pragma once

#include <atomic>
#include <string>

namespace pelorix {

bool LoadMediaLibraries(const std::string& AFolder, bool AVersioned);
void UnloadMediaLibraries();
bool MediaLibrariesLoaded();
std::string MediaLibrariesError();

// The probe's own load (codec, format, utility, scaling). On failure AError keeps the message
// and the four are unloaded again. Succeeds at once when all four are already bound.
bool LoadProbeLibraries(std::string& AError, const std::string& AFolder, bool AVersioned);

// Raises TBindingError naming the first of codec, format, utility, scaling that is not bound.
void CheckMediaLibraries();

// The libraries' log threshold on the engine's scale: -1 quiet, 0 error, 1 information,
// 2 debug, 3 everything. Read back from the libraries after a load, and set together with the
// libraries' own (process-wide) level by SetMediaLogLevel.
extern std::atomic<int> MediaLogLevel;

// The one place where the engine's scale meets the libraries' AV_LOG_* levels.
int LibraryLogLevelOf(int AScale);
int LogScaleOf(int ALibraryLevel);

// Sets the libraries' log level and MediaLogLevel from the engine's scale.
void SetMediaLogLevel(int AScale);

// Developer trace on stderr when PELORIX_TRACE is set; never part of any engine log.
void DevTrace(const std::string& AText);

} // namespace pelorix
