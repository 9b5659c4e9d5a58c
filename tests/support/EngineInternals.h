// The tests' one way into an engine's state records, for reading only. Product code never
// includes this: it reaches an engine through its operations only. A test uses it to read a
// value no operation reports; it sets up states through the engine's operations (options,
// setters, opens) or through the stage objects' own interfaces.
#pragma once

#include "FFmpeg.h"

namespace pelorix {

class TEngineInternals {
public:
  explicit TEngineInternals(const TCustomFFmpeg& AEngine)
      : Files(AEngine.Files), StreamCodecs(AEngine.StreamCodecs), Options(AEngine.Options),
        Settings(AEngine.Settings), LibOptions(AEngine.LibOptions), Stats(AEngine.Stats),
        Run(AEngine.Run), Callbacks(AEngine.Callbacks), Hooks(AEngine.Hooks),
        Tables(AEngine.Tables) {}

  const TFileState& Files;
  const TStreamCodecState& StreamCodecs;
  const TOptionState& Options;
  const TRunSettings& Settings;
  const TLibraryOptionState& LibOptions;
  const TRunStatistics& Stats;
  const TRunState& Run;
  const TCallbacks& Callbacks;
  const THookState& Hooks;
  const TTranscodeTables& Tables;
};

inline TEngineInternals Internals(const TCustomFFmpeg& AEngine) {
  return TEngineInternals(AEngine);
}

} // namespace pelorix
