// A test that runs one engine to its end in a folder of its own: inputs from the test clips,
// outputs in the folder, the run's error text, and the log lines it wrote.
#pragma once

#include "MediaTestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace pelorix::test {

class TEngineRunFixture : public ::testing::Test {
protected:
  // AFolder names the test's folder under the temporary folder (the process id is added).
  explicit TEngineRunFixture(const std::string& AFolder)
      : Dir(std::filesystem::temp_directory_path() / (AFolder + "-" + std::to_string(::getpid()))) {
  }

  void SetUp() override {
    RequireMediaLibraries();
    std::filesystem::create_directories(Dir);
    Engine.Reset();
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::string Out(const std::string& AName) const { return (Dir / AName).string(); }
  void Input(const std::string& AClip) {
    ASSERT_TRUE(Engine.OpenInputFile(TestMedia(AClip))) << Engine.LastErrorText();
  }
  void Output(const std::string& AName) {
    ASSERT_TRUE(Engine.OpenOutputFile(Out(AName))) << Engine.LastErrorText();
  }
  // Runs on this thread; the run's error text, empty when it ended without one.
  std::string RunToEnd() {
    Engine.Start(false, TConvertPriority::tpNormal);
    return Engine.ErrorOccurred() ? Engine.ErrorMessage() : std::string();
  }

  std::filesystem::path Dir;
  TCustomFFmpeg Engine;
  TEngineRecorder Recorder{Engine};
};

} // namespace pelorix::test
