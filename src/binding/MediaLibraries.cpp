// Loading, checking and releasing the whole set of media libraries, and the libraries' log level.
#include "MediaLibraries.h"

#include "AVCodecHlpr.h"
#include "AVFilterHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "MyUtilHlpr.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"

#include <array>
#include <cstdio>
#include <cstdlib>

namespace pelorix {

std::atomic<int> MediaLogLevel{1};

namespace {

bool Loaded = false;
std::string LoadError;

// Load order of the engine side; unloading goes the same way.
std::array<TLibraryBinding*, 7> EngineLibraries() {
  return {&AVCodecLibrary(), &AVFilterLibrary(),   &AVFormatLibrary(), &AVUtilLibrary(),
          &SwScaleLibrary(), &SwResampleLibrary(), &MyUtilLibrary()};
}

std::array<TLibraryBinding*, 4> ProbeLibraries() {
  return {&AVCodecLibrary(), &AVFormatLibrary(), &AVUtilLibrary(), &SwScaleLibrary()};
}

std::string VersionText(unsigned AVersion) {
  return std::to_string(AVersion >> 16) + "." + std::to_string((AVersion >> 8) & 0xff) + "." +
         std::to_string(AVersion & 0xff);
}

void TraceVersions() {
  DevTrace("media libraries bound: avcodec " + VersionText(AVCodec().avcodec_version()) +
           " (built with " + VersionText(LIBAVCODEC_VERSION_INT) + "), avformat " +
           VersionText(AVFormat().avformat_version()) + ", avutil " +
           VersionText(AVUtil().avutil_version()) + ", swscale " +
           VersionText(SwScale().swscale_version()) + ", avfilter " +
           VersionText(AVFilter().avfilter_version()) + ", swresample " +
           VersionText(SwResample().swresample_version()));
}

} // namespace

bool LoadMediaLibraries(const std::string& AFolder, bool AVersioned) {
  if (Loaded) return true;
  LoadError.clear();
  bool All = true;
  for (TLibraryBinding* Library : EngineLibraries()) {
    if (!Library->InitLibrary(LoadError, AFolder, AVersioned)) {
      All = false;
      break;
    }
  }
  Loaded = All;
  if (Loaded) {
    MediaLogLevel = LogScaleOf(AVUtil().av_log_get_level());
    TraceVersions();
  } else {
    UnloadMediaLibraries();
  }
  return Loaded;
}

void UnloadMediaLibraries() {
  Loaded = false;
  for (TLibraryBinding* Library : EngineLibraries()) Library->UnloadLibrary();
}

bool MediaLibrariesLoaded() { return Loaded; }

std::string MediaLibrariesError() { return LoadError; }

bool LoadProbeLibraries(std::string& AError, const std::string& AFolder, bool AVersioned) {
  bool AllBound = true;
  for (TLibraryBinding* Library : ProbeLibraries())
    AllBound = AllBound && Library->IsLibraryBound();
  if (AllBound) return true;
  AError.clear();
  for (TLibraryBinding* Library : ProbeLibraries()) {
    if (!Library->InitLibrary(AError, AFolder, AVersioned)) {
      for (TLibraryBinding* Loaded : ProbeLibraries()) Loaded->UnloadLibrary();
      return false;
    }
  }
  return true;
}

void CheckMediaLibraries() {
  if (!AVCodecLibrary().IsLibraryBound()) throw TBindingError("LibAVCodec not loaded.");
  if (!AVFormatLibrary().IsLibraryBound()) throw TBindingError("LibAVFormat not loaded.");
  if (!AVUtilLibrary().IsLibraryBound()) throw TBindingError("LibAVUtil not loaded.");
  if (!SwScaleLibrary().IsLibraryBound()) throw TBindingError("LibSwScale not loaded.");
}

int LibraryLogLevelOf(int AScale) {
  if (AScale < 0) return AV_LOG_QUIET;
  switch (AScale) {
  case 0:
    return AV_LOG_ERROR;
  case 1:
    return AV_LOG_INFO;
  case 2:
    return AV_LOG_DEBUG;
  default:
    return AV_LOG_TRACE;
  }
}

int LogScaleOf(int ALibraryLevel) {
  if (ALibraryLevel < AV_LOG_PANIC) return -1;
  if (ALibraryLevel < AV_LOG_INFO) return 0;
  if (ALibraryLevel < AV_LOG_DEBUG) return 1;
  if (ALibraryLevel < AV_LOG_TRACE) return 2;
  return 3;
}

void SetMediaLogLevel(int AScale) {
  if (AVUtilLibrary().IsLibraryBound()) AVUtil().av_log_set_level(LibraryLogLevelOf(AScale));
  MediaLogLevel = AScale;
}

void DevTrace(const std::string& AText) {
  static const bool Enabled = std::getenv("PELORIX_TRACE") != nullptr;
  if (Enabled) std::fprintf(stderr, "pelorix: %s\n", AText.c_str());
}

} // namespace pelorix
