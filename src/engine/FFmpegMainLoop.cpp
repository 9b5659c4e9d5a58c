// The body of a run.
#include "FFmpeg.h"

namespace pelorix {

void TCustomFFmpeg::RunTranscode() {
  Run.Finished = false;
  try {
    throw FFMpegException("Transcoding is not available in this build");
  } catch (const std::exception& E) {
    RunFailed(E.what());
  } catch (...) {
    RunFailed("Unexpected error during the run");
  }
  Cleanup();
  EndRun();
}

} // namespace pelorix
