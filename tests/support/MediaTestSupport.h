// Shared helpers of the tests: the library folder and test media of the build, loading the
// media libraries once per test process, and a log collector for engine callbacks.
#pragma once

#include "FFmpeg.h"
#include "MediaLibraries.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelorix::test {

inline std::string LibraryFolder() { return PELORIX_LIBRARY_FOLDER; }
inline std::string TestMedia(const std::string& AName) {
  return std::string(PELORIX_TEST_MEDIA_DIR) + "/" + AName;
}

// Loads the libraries of the build's library folder; every engine test needs them.
inline void RequireMediaLibraries() {
  ASSERT_TRUE(LoadMediaLibraries(LibraryFolder(), true)) << MediaLibrariesError();
}

// The message an option raises, or "no error".
inline std::string OptionError(TCustomFFmpeg& AEngine, const std::string& AName,
                               const std::string& AValue) {
  try {
    AEngine.SetOption(AName, AValue);
  } catch (const std::exception& E) {
    return E.what();
  }
  return "no error";
}

struct TLogLine {
  int Level;
  std::string Text;
  bool operator==(const TLogLine&) const = default;
};

// Collects what an engine reports, from whichever thread reports it.
class TEngineRecorder {
public:
  explicit TEngineRecorder(TCustomFFmpeg& AEngine) {
    AEngine.SetLogCallback([this](TCustomFFmpeg&, int ALevel, const std::string& AText) {
      std::lock_guard Guard(Lock);
      Lines.push_back({ALevel, AText});
    });
    AEngine.SetTerminateCallback([this](TCustomFFmpeg&) {
      std::lock_guard Guard(Lock);
      ++Terminations;
      TerminateThread = std::this_thread::get_id();
      Changed.notify_all();
    });
  }

  bool WaitForTermination(std::chrono::seconds ATimeout = std::chrono::seconds(30)) {
    std::unique_lock Guard(Lock);
    return Changed.wait_for(Guard, ATimeout, [this] { return Terminations > 0; });
  }

  std::vector<TLogLine> LogLines() {
    std::lock_guard Guard(Lock);
    return Lines;
  }
  int TerminationCount() {
    std::lock_guard Guard(Lock);
    return Terminations;
  }
  std::thread::id TerminatedOn() {
    std::lock_guard Guard(Lock);
    return TerminateThread;
  }

private:
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<TLogLine> Lines;
  int Terminations = 0;
  std::thread::id TerminateThread;
};

} // namespace pelorix::test
