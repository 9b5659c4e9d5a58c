// Helpers of the converter tests: a converter with the build's libraries loaded, a scratch
// folder, and a recorder of the events a run raises, from whichever thread raises them.
#pragma once

#include "MediaTestSupport.h"
#include "VexoConverter.h"

#include <unistd.h>

#include <filesystem>

namespace pelorix::test {

struct TEndEvent {
  int Index;
  TTaskResult Result;
  std::thread::id Thread;
};

struct TLogRecord {
  int Index;
  TLogLevel Level;
  std::string Text;
  std::thread::id Thread;
};

class TRunRecorder {
public:
  // Binds OnTerminate and OnLog. AOnEnd runs inside the end handler, before the end is noted.
  explicit TRunRecorder(TVexoConverter& AConverter,
                        std::function<void(int AIndex)> AOnEnd = nullptr)
      : OnEnd(std::move(AOnEnd)) {
    AConverter.SetOnTerminate([this](int AIndex, const TTaskResult& AResult) {
      if (OnEnd) OnEnd(AIndex);
      std::lock_guard Guard(Lock);
      Ends.push_back({AIndex, AResult, std::this_thread::get_id()});
      Changed.notify_all();
    });
    AConverter.SetOnLog([this](int AIndex, TLogLevel ALevel, const std::string& AText) {
      std::lock_guard Guard(Lock);
      Lines.push_back({AIndex, ALevel, AText, std::this_thread::get_id()});
    });
  }

  // Waits for the event with index -1.
  bool WaitForFinal(std::chrono::seconds ATimeout = std::chrono::seconds(120)) {
    return WaitForEnds(1, -1, ATimeout);
  }
  // Waits until ACount end events with index AIndex have come.
  bool WaitForEnds(int ACount, int AIndex,
                   std::chrono::seconds ATimeout = std::chrono::seconds(120)) {
    std::unique_lock Guard(Lock);
    return Changed.wait_for(Guard, ATimeout, [&] {
      int Seen = 0;
      for (const auto& End : Ends) Seen += End.Index == AIndex;
      return Seen >= ACount;
    });
  }
  std::vector<TEndEvent> EndEvents() {
    std::lock_guard Guard(Lock);
    return Ends;
  }
  std::vector<int> EndIndexes() {
    std::vector<int> Indexes;
    for (const auto& End : EndEvents()) Indexes.push_back(End.Index);
    return Indexes;
  }
  std::vector<TLogRecord> LogEvents() {
    std::lock_guard Guard(Lock);
    return Lines;
  }

private:
  std::function<void(int)> OnEnd;
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<TEndEvent> Ends;
  std::vector<TLogRecord> Lines;
};

class TConverterTest : public ::testing::Test {
protected:
  void SetUp() override {
    Converter = std::make_unique<TVexoConverter>();
    ASSERT_TRUE(Converter->LoadLibraries(LibraryFolder(), true)) << Converter->LastError();
    Dir = std::filesystem::temp_directory_path() /
          ("pelorix-component-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override {
    Converter.reset();
    std::filesystem::remove_all(Dir);
  }

  std::string OutputPath(int ANumber, const std::string& AExtension = "avi") {
    return (Dir / ("out" + std::to_string(ANumber) + "." + AExtension)).string();
  }

  // Adds AClip and gives it an output in the scratch folder; returns the index.
  int AddConfigured(const std::string& AClip, TOutputOptions* AOptions = nullptr,
                    const std::string& AExtension = "avi") {
    const int Index = Converter->AddTask(TestMedia(AClip));
    EXPECT_GE(Index, 0) << Converter->LastError();
    if (Index < 0) return Index;
    TOutputOptions Defaults;
    EXPECT_TRUE(Converter->SetTaskOutput(Index, OutputPath(Index, AExtension),
                                         AOptions ? AOptions : &Defaults))
        << Converter->LastError();
    return Index;
  }

  // The output holds a video and an audio stream that the probe can read.
  void ExpectValidOutput(int ANumber, int AVideoStreams = 1, int AAudioStreams = 1) {
    TAVProbe Probe;
    ASSERT_TRUE(Probe.Open(OutputPath(ANumber))) << Probe.LastError();
    EXPECT_EQ(Probe.VideoStreamCount(), AVideoStreams);
    EXPECT_EQ(Probe.AudioStreamCount(), AAudioStreams);
  }

  std::unique_ptr<TVexoConverter> Converter;
  std::filesystem::path Dir;
};

} // namespace pelorix::test
