// Conversions whose decoders and encoders use several threads: the same pictures and durations
// as with one thread (every picture a codec holds back is drained), a clean stop, and the
// thread count's own rules.
#include "DecodedVideo.h"
#include "MediaFacts.h"
#include "MediaTestSupport.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <utility>
#include <vector>

namespace pelorix {
namespace {

using test::ReadMediaFacts;
using test::TestMedia;
using test::TMediaFacts;

class TCodecThreadsTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir =
        std::filesystem::temp_directory_path() / ("pelorix-threads-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::string Out(const std::string& AName) { return (Dir / AName).string(); }

  // Converts AClip with the codecs named and the options given into AName, with AThreads codec
  // threads; the run's error, if any. AStopAtFrame > 0 asks for a stop once that many pictures
  // are reported.
  std::string Convert(const std::string& AClip, const std::string& AVideo,
                      const std::string& AAudio, int AThreads, const std::string& AName,
                      int AStopAtFrame = 0,
                      const std::vector<std::pair<std::string, std::string>>& AOptions = {}) {
    TCustomFFmpeg Engine;
    Engine.Reset();
    Engine.SetThreadCount(AThreads);
    if (!Engine.OpenInputFile(TestMedia(AClip))) return Engine.LastErrorText();
    Engine.SetOption("vcodec", AVideo);
    Engine.SetOption("acodec", AAudio);
    for (const auto& [Name, Value] : AOptions) Engine.SetOption(Name, Value);
    if (!Engine.OpenOutputFile(Out(AName))) return Engine.LastErrorText();
    if (AStopAtFrame > 0) {
      Engine.SetReportInterval(0);
      Engine.SetProgressCallback(
          [AStopAtFrame](TCustomFFmpeg& AEngine, int AFrame, int, int, float, float, int64_t, int) {
            if (AFrame >= AStopAtFrame) AEngine.SignalStop();
          });
    }
    Engine.Start(false, TConvertPriority::tpNormal);
    Stopped = !Engine.Finished();
    return Engine.ErrorOccurred() ? Engine.ErrorMessage() : std::string();
  }

  // h264_aac.mp4 to the main format: libxvid and libmp3lame.
  std::string
  ConvertToMainFormat(int AThreads, const std::string& AName, int AStopAtFrame = 0,
                      const std::vector<std::pair<std::string, std::string>>& AOptions = {}) {
    return Convert("h264_aac.mp4", "libxvid", "libmp3lame", AThreads, AName, AStopAtFrame,
                   AOptions);
  }

  std::filesystem::path Dir;
  bool Stopped = false;
};

struct TThreadCase {
  const char* Clip;
  const char* Video;
  const char* Audio;
  const char* Output;
};

void PrintTo(const TThreadCase& ACase, std::ostream* AStream) {
  *AStream << ACase.Clip << " -> " << ACase.Video << "/" << ACase.Audio;
}

class TThreadedConversionTest : public TCodecThreadsTest,
                                public ::testing::WithParamInterface<TThreadCase> {};

TEST_P(TThreadedConversionTest, GivesThePicturesAndDurationsOfOneThread) {
  const TThreadCase& Case = GetParam();
  const std::string Single = std::string("one.") + Case.Output;
  const std::string Threaded = std::string("three.") + Case.Output;
  ASSERT_EQ(Convert(Case.Clip, Case.Video, Case.Audio, 1, Single), "");
  ASSERT_EQ(Convert(Case.Clip, Case.Video, Case.Audio, 3, Threaded), "");

  const TMediaFacts One = ReadMediaFacts(Out(Single));
  const TMediaFacts Three = ReadMediaFacts(Out(Threaded));
  ASSERT_EQ(One.Streams.size(), Three.Streams.size());
  for (size_t I = 0; I < One.Streams.size(); ++I) {
    EXPECT_EQ(Three.Streams[I].Packets, One.Streams[I].Packets) << "stream " << I;
    EXPECT_NEAR(Three.Streams[I].Duration, One.Streams[I].Duration, 1e-6) << "stream " << I;
  }
  const size_t Pictures = test::DecodeVideo(Out(Single)).Pictures.size();
  EXPECT_GT(Pictures, 0u);
  EXPECT_EQ(test::DecodeVideo(Out(Threaded)).Pictures.size(), Pictures);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, TThreadedConversionTest,
    ::testing::Values(
        // The main format's encoders: MPEG-4 in chunks on several threads.
        TThreadCase{"h264_aac.mp4", "libxvid", "libmp3lame", "avi"},
        // Frame-threaded decoding of H.264, which gives its pictures late.
        TThreadCase{"h264_aac.mp4", "mpeg4", "libmp3lame", "avi"},
        // Frame-threaded H.264 encoding, which holds pictures back until its drain.
        TThreadCase{"mpeg4_mp3.avi", "libx264", "aac", "mp4"},
        // Slice-threaded encoding.
        TThreadCase{"mpeg4_aac.3gp", "mpeg4", "libmp3lame", "avi"}));

TEST_F(TCodecThreadsTest, StopLeavesACompleteShorterFile) {
  ASSERT_EQ(Convert("h264_aac.mp4", "libx264", "aac", 3, "stopped.mkv", 10), "");
  EXPECT_TRUE(Stopped);
  const TMediaFacts Copy = ReadMediaFacts(Out("stopped.mkv"));
  ASSERT_TRUE(Copy.Opened);
  ASSERT_EQ(Copy.Streams.size(), 2u);
  EXPECT_GE(Copy.Streams[0].Packets, 10);
  EXPECT_LT(Copy.Streams[0].Packets, 50);
  // Every picture written decodes: nothing was cut off in the middle.
  EXPECT_EQ(test::DecodeVideo(Out("stopped.mkv")).Pictures.size(),
            static_cast<size_t>(Copy.Streams[0].Packets));
}

// An encoder that cannot thread itself, given threads: its pictures go out in chunks to copies
// of it, one thread each. The file must be the one-thread file in all a player sees: the same
// pictures in the same order, a key picture where one thread puts one, the same duration.
TEST_F(TCodecThreadsTest, ChunksKeepThePicturesTheirOrderAndKeyPictures) {
  // Three encoders, chunks of 6: the 50 pictures are dealt out over every encoder more than
  // once, and the last chunk is short.
  const std::vector<std::pair<std::string, std::string>> Gop{{"g", "6"}};
  ASSERT_EQ(ConvertToMainFormat(1, "one.avi", 0, Gop), "");
  ASSERT_EQ(ConvertToMainFormat(3, "three.avi", 0, Gop), "");
  const TMediaFacts One = ReadMediaFacts(Out("one.avi"));
  const TMediaFacts Three = ReadMediaFacts(Out("three.avi"));
  ASSERT_EQ(Three.Streams.size(), 2u);
  EXPECT_EQ(Three.Streams[0].Packets, 50);
  EXPECT_EQ(Three.Streams[0].Packets, One.Streams[0].Packets);
  EXPECT_EQ(Three.Streams[0].KeyPackets, One.Streams[0].KeyPackets);
  EXPECT_EQ(Three.Streams[0].KeyPackets, 9); // 0, 6, ..., 48
  EXPECT_TRUE(Three.Streams[0].FirstPacketKey);
  EXPECT_NEAR(Three.Streams[0].Duration, One.Streams[0].Duration, 1e-6);
  EXPECT_NEAR(Three.Streams[1].Duration, One.Streams[1].Duration, 1e-6);

  // Every picture is the one-thread file's picture of the same place, not its neighbour's:
  // packets out of order would decode to the wrong place, or not at all.
  const test::TDecodedVideo Single = test::DecodeVideo(Out("one.avi"));
  const test::TDecodedVideo Chunked = test::DecodeVideo(Out("three.avi"));
  ASSERT_EQ(Chunked.Pictures.size(), Single.Pictures.size());
  for (size_t I = 0; I < Chunked.Pictures.size(); ++I) {
    const double Same = test::LumaDifference(Chunked.Pictures[I], Single.Pictures[I]);
    EXPECT_LT(Same, 4.0) << "picture " << I;
    for (size_t Other : {I - 1, I + 1, I + 6}) {
      if (Other >= Single.Pictures.size()) continue;
      EXPECT_LT(Same, test::LumaDifference(Chunked.Pictures[I], Single.Pictures[Other]))
          << "picture " << I << " against " << Other;
    }
  }
}

TEST_F(TCodecThreadsTest, StopDuringChunkedEncodingLeavesACompleteShorterFile) {
  ASSERT_EQ(ConvertToMainFormat(2, "stopped.avi", 10, {{"g", "4"}}), "");
  EXPECT_TRUE(Stopped);
  const TMediaFacts Copy = ReadMediaFacts(Out("stopped.avi"));
  ASSERT_TRUE(Copy.Opened);
  ASSERT_EQ(Copy.Streams.size(), 2u);
  // Every picture handed to the chunk encoders before the stop is written, and decodes.
  EXPECT_GE(Copy.Streams[0].Packets, 10);
  EXPECT_LT(Copy.Streams[0].Packets, 50);
  EXPECT_TRUE(Copy.Streams[0].FirstPacketKey);
  EXPECT_EQ(test::DecodeVideo(Out("stopped.avi")).Pictures.size(),
            static_cast<size_t>(Copy.Streams[0].Packets));
}

TEST_F(TCodecThreadsTest, CountFollowsTheSetterOnly) {
  TCustomFFmpeg Engine;
  Engine.Reset();
  EXPECT_EQ(Engine.ThreadCount(), 1);
  Engine.SetThreadCount(4);
  EXPECT_EQ(Engine.ThreadCount(), 4);
  Engine.SetThreadCount(-1); // not set
  EXPECT_EQ(Engine.ThreadCount(), 4);
  Engine.SetThreadCount(0);
  const long Online = ::sysconf(_SC_NPROCESSORS_ONLN);
  EXPECT_EQ(Engine.ThreadCount(), std::clamp<long>(Online, 1, TCustomFFmpeg::MaxCodecThreads));
  if (Online > 1) {
    EXPECT_GT(Engine.ThreadCount(), 1);
  }
  Engine.Reset();
  EXPECT_EQ(Engine.ThreadCount(), 1);
  EXPECT_EQ(test::OptionError(Engine, "threads", "2"), "TODO: option - threads");
}

} // namespace
} // namespace pelorix
