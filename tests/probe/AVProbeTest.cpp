// The media probe: its own library load, the records of real clips against golden text, the
// failure texts of bad inputs, borrowed containers and the log texts of empty queries. Every
// case runs in a process of its own: a successful library load lasts for the process.
#include "ProbeTestSupport.h"

#include "AVFilterHlpr.h"
#include "AVFormatHlpr.h"
#include "SwScaleHlpr.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

std::string RaisedText(const std::function<void()>& AAction) {
  try {
    AAction();
  } catch (const TBindingError& E) {
    return E.what();
  }
  return "no exception";
}

TEST(TAVProbeLibraryTest, WithoutLibrariesOpenAndAttachRaiseAndQueriesStayQuiet) {
  TAVProbe Probe;
  EXPECT_EQ(RaisedText([&] { Probe.Open(test::TestMedia("tone.wav")); }), "LibAVCodec not loaded.");
  EXPECT_EQ(RaisedText([&] { Probe.Attach(nullptr); }), "LibAVCodec not loaded.");
  test::ExpectClosed(Probe);
  TAudioStreamInfo Audio; // no log exists yet to report to; the record is cleared all the same
  Audio.Channels = 2;
  Probe.AudioStreamInfo(-1, Audio);
  EXPECT_EQ(Audio, TAudioStreamInfo{});
  EXPECT_EQ(Probe.OpenedFileName(), "");
}

TEST(TAVProbeLibraryTest, FailedLoadNamesTheLibraryAndUnloadsTheFour) {
  TAVProbe Probe;
  EXPECT_FALSE(Probe.LoadLibraries(PELORIX_PROBE_NO_SCALING_FOLDER, true));
  const std::string Failure = Probe.LastError();
  EXPECT_EQ(Failure.rfind("Load libraray libswscale.so.6 error: ", 0), 0u) << Failure;
  for (TLibraryBinding* Library :
       {&AVCodecLibrary(), &AVFormatLibrary(), &AVUtilLibrary(), &SwScaleLibrary()})
    EXPECT_FALSE(Library->IsLibraryLoaded()) << Library->LibraryFileName();
  // A later load needs no filter library and keeps the failure's text.
  EXPECT_TRUE(Probe.LoadLibraries(PELORIX_LIBRARY_FOLDER, true)) << Probe.LastError();
  EXPECT_EQ(Probe.LastError(), Failure);
  EXPECT_FALSE(AVFilterLibrary().IsLibraryLoaded());
}

class TAVProbeTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Probe.LoadLibraries(PELORIX_LIBRARY_FOLDER, true)) << Probe.LastError();
    fs::remove_all(Scratch);
    fs::create_directories(Scratch);
  }
  void TearDown() override { fs::remove_all(Scratch); }

  TAVProbe Probe;
  // One folder per test process: ctest runs the cases side by side.
  const fs::path Scratch =
      fs::path(::testing::TempDir()) / ("pelorix-probe-" + std::to_string(::getpid()));
};

class TAVProbeGoldenTest : public TAVProbeTest,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(TAVProbeGoldenTest, ReportsWhatTheClipHolds) {
  ASSERT_TRUE(Probe.Open(test::TestMedia(GetParam()))) << Probe.LastError();
  test::ExpectGolden(std::string(GetParam()) + ".txt", test::DescribeProbe(Probe));
  EXPECT_EQ(Probe.OpenedFileName(), test::TestMedia(GetParam()));
  Probe.Close();
  test::ExpectClosed(Probe);
}

INSTANTIATE_TEST_SUITE_P(Clips, TAVProbeGoldenTest,
                         ::testing::Values("multi.mkv", "h264_aac.mp4", "mpeg4_mp3.avi", "tone.wav",
                                           "sar4x3.mp4", "two_programs.ts", "rotate90.mp4",
                                           "tagged.flac", "interlaced.mkv"),
                         [](const auto& AClip) {
                           std::string Name = AClip.param;
                           std::replace(Name.begin(), Name.end(), '.', '_');
                           return Name;
                         });

// Bad inputs fail with the engine's text for the same failure and leave the probe closed; an
// unknown format name fails before the file is looked at.
TEST_F(TAVProbeTest, BadInputsFailWithTheirTexts) {
  const std::string Truncated = (Scratch / "truncated.mp4").string();
  std::string Head(2000, '\0'); // an MP4 whose index sits at its end, cut after 2000 bytes
  std::ifstream(test::TestMedia("h264_aac.mp4"), std::ios::binary).read(Head.data(), Head.size());
  std::ofstream(Truncated, std::ios::binary) << Head;
  const std::string Missing = test::TestMedia("no-such-file.avi"), Folder = test::TestMedia("");
  const std::string Garbage = test::TestMedia("garbage.bin"), Empty = test::TestMedia("empty.avi");
  const std::vector<std::array<std::string, 3>> Cases = {
      {Missing, "nosuchformat", "Unknown input format: nosuchformat"},
      {Missing, "", Missing + ": no such file or directory"},
      {Folder, "", Folder + ": Error while opening file: Is a directory"},
      {Garbage, "", Garbage + ": Unknown format"},
      {Garbage, "wav", Garbage + ": Error while parsing header"},
      {Garbage, "mpegts", Garbage + ": could not find codec parameters"},
      {Empty, "", Empty + ": Error while parsing header"}, // taken for AVI by its name
      {Truncated, "", Truncated + ": Error while parsing header"},
  };
  for (const auto& [FileName, FormatName, Error] : Cases) {
    SCOPED_TRACE(FileName + " as \"" + FormatName + "\"");
    ASSERT_TRUE(Probe.Open(test::TestMedia("multi.mkv"), "matroska"));
    EXPECT_EQ(Probe.FormatName(), "matroska");
    EXPECT_FALSE(Probe.Open(FileName, FormatName));
    EXPECT_EQ(Probe.LastError(), Error);
    test::ExpectClosed(Probe);
  }
  ASSERT_TRUE(Probe.Open(test::TestMedia("tone.wav")));
  EXPECT_EQ(Probe.LastError(), Cases.back()[2]); // kept until the next failure
}

TEST_F(TAVProbeTest, AttachedContextStaysItsOwners) {
  ASSERT_TRUE(Probe.Open(test::TestMedia("multi.mkv")));
  const std::string Opened = test::DescribeProbe(Probe);
  AVFormatContext* Raw = nullptr;
  ASSERT_EQ(
      AVFormat().avformat_open_input(&Raw, test::TestMedia("multi.mkv").c_str(), nullptr, nullptr),
      0);
  const TInputContextPtr Owner(Raw);
  ASSERT_GE(AVFormat().avformat_find_stream_info(Raw, nullptr), 0);
  Probe.Attach(Raw);
  EXPECT_EQ(test::DescribeProbe(Probe), Opened);
  // Close, a new Open and destruction leave the context to its owner (the sanitizer build
  // reports a second free).
  Probe.Close();
  test::ExpectClosed(Probe);
  Probe.Attach(Raw);
  ASSERT_TRUE(Probe.Open(test::TestMedia("tone.wav")));
  TAVProbe{}.Attach(Raw);
  EXPECT_EQ(Raw->nb_streams, 4u);
}

TEST_F(TAVProbeTest, OpenedFileNameIsCutAt1024BytesOutsideACharacter) {
  std::string Path = Scratch.string(); // folders until byte 1023 starts a two-byte character
  while (Path.size() < 1023 - 201) fs::create_directory(Path += "/" + std::string(200, 'a'));
  Path += "/" + std::string(1023 - Path.size() - 1, 'a') + "\xC3\xA9.wav";
  fs::copy_file(test::TestMedia("tone.wav"), Path);
  ASSERT_TRUE(Probe.Open(Path)) << Probe.LastError();
  EXPECT_EQ(Probe.OpenedFileName(), Path.substr(0, 1023));
}

TEST_F(TAVProbeTest, QueriesThatFindNoStreamLogAndLeaveTheRecordCleared) {
  test::TLibraryLog Log;
  auto Query = [&](bool AAudio, int AIndex) {
    TAudioStreamInfo Audio;
    TVideoStreamInfo Video;
    Audio.Channels = Video.Width = 2;
    if (AAudio)
      Probe.AudioStreamInfo(AIndex, Audio);
    else
      Probe.VideoStreamInfo(AIndex, Video);
    EXPECT_EQ(Audio, (AAudio ? TAudioStreamInfo{} : Audio));
    EXPECT_EQ(Video, (AAudio ? Video : TVideoStreamInfo{}));
  };
  Query(true, -1);
  EXPECT_EQ(Probe.OpenedFileName(), "");
  ASSERT_TRUE(Probe.Open(test::TestMedia("tone.wav")));
  Query(false, -1);
  Query(true, 1);
  ASSERT_TRUE(Probe.Open(test::TestMedia("h264_aac.mp4")));
  Query(true, 0);
  Query(false, 1);
  ASSERT_TRUE(Probe.Open(test::TestMedia("sar4x3.mp4")));
  Query(true, -1);
  const std::string Info = std::to_string(AV_LOG_INFO), Error = std::to_string(AV_LOG_ERROR);
  EXPECT_EQ(
      test::TLibraryLog::Lines(),
      (std::vector<std::string>{
          Info + " file not loaded.\n", Info + " file not loaded.\n", Error + " no video stream.\n",
          Error + " stream index #1 is invalid.\n", Error + " stream #0 is not audio stream.\n",
          Error + " stream #1 is not video stream.\n", Error + " no audio stream.\n"}));
}

} // namespace
} // namespace pelorix
