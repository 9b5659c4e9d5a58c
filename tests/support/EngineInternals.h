// The tests' one way into an engine's state records. Product code never includes this: it
// reaches an engine through its operations only. A test uses it to set up a state that no
// short series of options makes, or to read a value no operation reports.
#pragma once

#include "FFmpeg.h"

namespace pelorix {

class TEngineInternals {
public:
  explicit TEngineInternals(TCustomFFmpeg& AEngine)
      : Files(AEngine.Files), StreamCodecs(AEngine.StreamCodecs), Options(AEngine.Options),
        Settings(AEngine.Settings), LibOptions(AEngine.LibOptions), Stats(AEngine.Stats),
        Run(AEngine.Run), Callbacks(AEngine.Callbacks), Hooks(AEngine.Hooks),
        Tables(AEngine.Tables) {}

  TFileState& Files;
  TStreamCodecState& StreamCodecs;
  TOptionState& Options;
  TRunSettings& Settings;
  TLibraryOptionState& LibOptions;
  TRunStatistics& Stats;
  TRunState& Run;
  TCallbacks& Callbacks;
  THookState& Hooks;
  TTranscodeTables& Tables;
};

inline TEngineInternals Internals(TCustomFFmpeg& AEngine) { return TEngineInternals(AEngine); }

} // namespace pelorix
