// An engine's life without a transcode: reset, start refusals, stop, end and clean-up.
#include "EngineInternals.h"
#include "MediaTestSupport.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace pelorix {
namespace {

using test::TEngineRecorder;
using test::TLogLine;

class TEngineLifecycleTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir = std::filesystem::temp_directory_path() /
          ("pelorix-lifecycle-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::filesystem::path Dir;
};

TEST_F(TEngineLifecycleTest, StartWithoutOutputFailsAtOnceAndEndsOnce) {
  TCustomFFmpeg Engine;
  Engine.Reset();
  TEngineRecorder Recorder(Engine);
  EXPECT_EQ(Engine.Start(false, TConvertPriority::tpNormal), nullptr);
  EXPECT_EQ(Recorder.LogLines(),
            (std::vector<TLogLine>{{-1, "Must supply at least one output file"}}));
  EXPECT_TRUE(Engine.ErrorOccurred());
  EXPECT_EQ(Engine.ErrorMessage(), "Must supply at least one output file");
  EXPECT_EQ(Recorder.TerminationCount(), 1);
  EXPECT_TRUE(Internals(Engine).Run.Ended);
  EXPECT_FALSE(Engine.Running());
  EXPECT_EQ(Internals(Engine).LibOptions.FormatOptions, nullptr); // cleaned up

  // An ended engine does not start again.
  EXPECT_EQ(Engine.Start(true, TConvertPriority::tpNormal), nullptr);
  EXPECT_EQ(Recorder.TerminationCount(), 1);
}

TEST_F(TEngineLifecycleTest, StartWithoutInputCleansUpTheEmptyOutput) {
  const std::string Empty = (Dir / "empty.avi").string();
  const std::string Written = (Dir / "written.avi").string();
  TCustomFFmpeg Engine;
  Engine.Reset();
  ASSERT_TRUE(Engine.OpenOutputFile(Empty)) << Engine.LastErrorText();
  ASSERT_TRUE(Engine.OpenOutputFile(Written)) << Engine.LastErrorText();
  std::ofstream(Written, std::ios::app) << "content";
  ASSERT_TRUE(std::filesystem::exists(Empty));

  TEngineRecorder Recorder(Engine);
  EXPECT_EQ(Engine.Start(true, TConvertPriority::tpNormal), nullptr);
  EXPECT_EQ(Recorder.LogLines(),
            (std::vector<TLogLine>{{-1, "Must supply at least one input file"}}));
  EXPECT_EQ(Internals(Engine).Files.OutputFileCount, 0);
  EXPECT_FALSE(std::filesystem::exists(Empty));
  EXPECT_TRUE(std::filesystem::exists(Written));
}

TEST_F(TEngineLifecycleTest, StopBeforeStartEndsOnceFromAnotherThread) {
  TCustomFFmpeg Engine;
  Engine.Reset();
  TEngineRecorder Recorder(Engine);
  Engine.Stop();
  Engine.Stop();
  ASSERT_TRUE(Recorder.WaitForTermination());
  EXPECT_NE(Recorder.TerminatedOn(), std::this_thread::get_id());
  EXPECT_TRUE(Internals(Engine).Run.Ended);
  Engine.Stop(); // ended: nothing more
  EXPECT_EQ(Recorder.TerminationCount(), 1);
}

TEST_F(TEngineLifecycleTest, DestructionWaitsForThePendingEndReport) {
  std::atomic<int> Ends{0};
  {
    TCustomFFmpeg Engine;
    Engine.Reset();
    Engine.SetTerminateCallback([&Ends](TCustomFFmpeg&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ++Ends;
    });
    Engine.Stop();
  }
  EXPECT_EQ(Ends, 1);
}

TEST_F(TEngineLifecycleTest, AsynchronousRunWaitsForResumeAndEndsOnItsThread) {
  TCustomFFmpeg Engine;
  Engine.Reset();
  ASSERT_TRUE(Engine.OpenInputFile(test::TestMedia("mpeg4_mp3.avi"))) << Engine.LastErrorText();
  ASSERT_TRUE(Engine.OpenOutputFile((Dir / "out.avi").string())) << Engine.LastErrorText();
  TEngineRecorder Recorder(Engine);
  auto Thread = Engine.Start(true, TConvertPriority::tpLower);
  ASSERT_NE(Thread, nullptr);
  EXPECT_TRUE(Thread->IsSuspended());
  EXPECT_TRUE(Engine.Running());
  EXPECT_EQ(Engine.Start(true, TConvertPriority::tpNormal), nullptr); // already running
  Thread->Resume();
  ASSERT_TRUE(Recorder.WaitForTermination());
  Thread->WaitFor();
  EXPECT_EQ(Recorder.TerminatedOn(), Thread->ThreadId());
  EXPECT_TRUE(Internals(Engine).Run.Ended);
  EXPECT_FALSE(Engine.Running());
  EXPECT_EQ(Internals(Engine).Run.Thread, nullptr);
  EXPECT_EQ(Recorder.TerminationCount(), 1);
}

TEST_F(TEngineLifecycleTest, DestroyingAStartedButSuspendedEngineRunsItToItsEnd) {
  TCustomFFmpeg* Engine = new TCustomFFmpeg;
  Engine->Reset();
  ASSERT_TRUE(Engine->OpenInputFile(test::TestMedia("mpeg4_mp3.avi"))) << Engine->LastErrorText();
  ASSERT_TRUE(Engine->OpenOutputFile((Dir / "out.avi").string())) << Engine->LastErrorText();
  std::atomic<int> Ends{0};
  Engine->SetTerminateCallback([&Ends](TCustomFFmpeg&) { ++Ends; });
  auto Thread = Engine->Start(true, TConvertPriority::tpIdle);
  ASSERT_NE(Thread, nullptr);
  delete Engine; // resumes the worker with a stop request and waits for it
  EXPECT_TRUE(Thread->IsFinished());
  EXPECT_EQ(Ends, 1);
}

TEST(TEngineWithoutLibrariesTest, ResetLeavesTheEngineUntouched) {
  ASSERT_FALSE(MediaLibrariesLoaded());
  TCustomFFmpeg Engine;
  Engine.SetTitle("kept");
  Engine.Reset();
  EXPECT_EQ(Internals(Engine).Options.Title, "kept");
  EXPECT_EQ(Internals(Engine).LibOptions.CodecOptions[ckVideo], nullptr);
  Engine.Cleanup(); // also nothing without libraries
}

TEST(TEngineDefaultsTest, ResetGivesTheDocumentedDefaults) {
  test::RequireMediaLibraries();
  TCustomFFmpeg Engine;
  Engine.Reset();
  Engine.SetOption("s", "640x480");
  Engine.SetAudioVolume(512);
  EXPECT_FALSE(Engine.OpenInputFile("/no/such/file.avi"));
  const std::string Failure = Engine.LastErrorText();
  Engine.SetReportInterval(100000);
  Engine.Reset();
  EXPECT_EQ(Internals(Engine).Options.FrameWidth, 0);
  EXPECT_EQ(Internals(Engine).Settings.AudioVolume, 256);
  EXPECT_EQ(Engine.LastErrorText(), Failure);
  EXPECT_EQ(Internals(Engine).Run.ReportInterval, 100000);
  EXPECT_EQ(Internals(Engine).Options.AudioSampleRate, 44100);
  EXPECT_EQ(Internals(Engine).Options.AudioChannels, 2);
  EXPECT_EQ(Internals(Engine).Options.RecordingTime, INT64_MAX);
  EXPECT_EQ(Internals(Engine).Options.MaxFrames[0], INT32_MAX);
  EXPECT_EQ(Internals(Engine).Options.FramePixFmt, -1);
  EXPECT_EQ(Internals(Engine).Options.PadColor, (std::array<int32_t, 3>{16, 128, 128}));
  EXPECT_FLOAT_EQ(Internals(Engine).Options.MuxPreload, 0.5f);
  EXPECT_EQ(Engine.RecordingDuration(), -1);
  EXPECT_EQ(Internals(Engine).Settings.SwsFlags, 4);
  // The parking contexts carry their kind's defaults.
  int64_t VideoRate = 0, AudioRate = 0;
  AVUtil().av_opt_get_int(Internals(Engine).LibOptions.CodecOptions[ckVideo].get(), "b", 0,
                          &VideoRate);
  AVUtil().av_opt_get_int(Internals(Engine).LibOptions.CodecOptions[ckAudio].get(), "ab", 0,
                          &AudioRate);
  EXPECT_EQ(VideoRate, 200000);
  EXPECT_EQ(AudioRate, 128000);
}

#ifndef NDEBUG
TEST(TEngineOwnerTest, ConfigurationFromAnotherThreadEndsTheProcessUntilThatThreadAdoptsIt) {
  test::RequireMediaLibraries();
  TCustomFFmpeg Engine;
  Engine.Reset(); // this thread configures the engine
  const auto OnAnotherThread = [&Engine](bool AAdopt) {
    std::thread([&Engine, AAdopt] {
      if (AAdopt) Engine.AdoptOwnerThread();
      Engine.SetOption("vn", "");
    }).join();
  };
  EXPECT_DEATH(OnAnotherThread(false), "SetOption called from a thread it does not belong to");
  OnAnotherThread(true);
  // The role moved: this thread has given it up.
  EXPECT_DEATH(Engine.Cleanup(), "Cleanup called from a thread it does not belong to");
}
#endif

TEST(TFileOpenErrorTextTest, NamesTheFileAndTheFailure) {
  using E = TCustomFFmpeg;
  EXPECT_EQ(E::FileOpenErrorText("a.avi", AVERROR(ENOENT)), "a.avi: no such file or directory");
  EXPECT_EQ(E::FileOpenErrorText("a.avi", AVERROR(EIO)),
            "a.avi: I/O error occurred\r\nUsually that means that input file is truncated "
            "and/or corrupted.");
  EXPECT_EQ(E::FileOpenErrorText("a.avi", AVERROR(ENOMEM)),
            "a.avi: memory allocation error occurred");
  EXPECT_EQ(E::FileOpenErrorText("a.avi", AVERROR(EINVAL)), "a.avi: Error while parsing header");
  EXPECT_EQ(E::FileOpenErrorText("img.jpg", AVERROR(EDOM)),
            "img.jpg: Incorrect image filename syntax.\r\nUse '%d' to specify the image "
            "number:\r\n  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n  for img001.jpg, "
            "img002.jpg, ..., use 'img%03d.jpg'.");
  EXPECT_EQ(E::FileOpenErrorText("a.avi", AVERROR(EILSEQ)), "a.avi: Unknown format");
  EXPECT_EQ(E::FileOpenErrorText("a.avi", AVERROR(EACCES)),
            "a.avi: Error while opening file: Permission denied");
  EXPECT_EQ(E::FileOpenErrorText("a.avi", AVERROR(EROFS)),
            "a.avi: Error while opening file: Read-only file system");
  EXPECT_EQ(E::FileOpenErrorText("a.avi", AVERROR_PATCHWELCOME),
            "a.avi: Error while opening file: a variant of the format that is not supported");
}

} // namespace
} // namespace pelorix
