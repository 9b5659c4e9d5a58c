// pelorix-measure as the quality benchmark runs it: a file against itself, against coarser and
// finer encodings of it, against a shorter or smaller one, and the failures it reports.
#include "FFmpeg.h"
#include "MediaTestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

struct TMeasure {
  int Status = -1;
  std::string Pictures;
  int Compared = 0;
  double Psnr = 0, Ssim = 0;
};

TMeasure Measure(const std::string& AReference, const std::string& ADistorted,
                 const std::string& AFlag = "") {
  const std::string Command = std::string("'") + PELORIX_MEASURE_PROGRAM + "' " + AFlag + " '" +
                              AReference + "' '" + ADistorted + "' 2>/dev/null";
  TMeasure Result;
  FILE* Pipe = ::popen(Command.c_str(), "r");
  if (!Pipe) return Result;
  std::string Output;
  char Buffer[256];
  while (std::fgets(Buffer, sizeof Buffer, Pipe)) Output += Buffer;
  const int Status = ::pclose(Pipe);
  Result.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  std::smatch Match;
  if (std::regex_search(Output, Match,
                        std::regex(R"(pictures=(\S+) compared=(\d+) psnr=(\S+) ssim=(\S+))"))) {
    Result.Pictures = Match[1];
    Result.Compared = std::stoi(Match[2]);
    Result.Psnr = std::stod(Match[3]);
    Result.Ssim = std::stod(Match[4]);
  }
  return Result;
}

class TMeasureTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir = fs::temp_directory_path() / ("pelorix-measure-" + std::to_string(::getpid()));
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }

  // camera.mp4 encoded again as MPEG-4 Visual with the settings given.
  std::string Encoded(const std::string& AName,
                      const std::vector<std::pair<std::string, std::string>>& ASettings) {
    const std::string Output = (Dir / AName).string();
    TCustomFFmpeg Engine;
    Engine.Reset();
    EXPECT_TRUE(Engine.OpenInputFile(test::TestMedia("camera.mp4")));
    Engine.SetOption("vcodec", "mpeg4");
    Engine.SetOption("an", "");
    for (const auto& [Name, Value] : ASettings) Engine.SetOption(Name, Value);
    EXPECT_TRUE(Engine.OpenOutputFile(Output)) << Engine.LastErrorText();
    Engine.Start(false, TConvertPriority::tpNormal);
    EXPECT_FALSE(Engine.ErrorOccurred()) << Engine.ErrorMessage();
    return Output;
  }

  fs::path Dir;
};

TEST_F(TMeasureTest, AFileAgainstItselfIsIdentical) {
  const TMeasure Same = Measure(test::TestMedia("camera.mp4"), test::TestMedia("camera.mp4"));
  EXPECT_EQ(Same.Status, 0);
  EXPECT_EQ(Same.Pictures, "25/25");
  EXPECT_EQ(Same.Compared, 25);
  EXPECT_EQ(Same.Psnr, 100.0);
  EXPECT_EQ(Same.Ssim, 1.0);
}

TEST_F(TMeasureTest, CoarserEncodingsScoreLower) {
  const std::string Source = test::TestMedia("camera.mp4");
  const TMeasure Fine = Measure(Source, Encoded("fine.mkv", {{"qscale", "2"}}));
  const TMeasure Coarse = Measure(Source, Encoded("coarse.mkv", {{"qscale", "20"}}));
  EXPECT_EQ(Fine.Status, 0);
  EXPECT_EQ(Fine.Compared, 25);
  EXPECT_GT(Fine.Psnr, 35.0);
  EXPECT_LT(Fine.Psnr, 60.0);
  EXPECT_GT(Fine.Ssim, 0.9);
  EXPECT_LT(Fine.Ssim, 1.0);
  EXPECT_LT(Coarse.Psnr, Fine.Psnr - 5.0);
  EXPECT_LT(Coarse.Ssim, Fine.Ssim);
  EXPECT_GT(Coarse.Psnr, 15.0);
}

TEST_F(TMeasureTest, ShorterOrSmallerFilesAreComparedOverWhatTheyShare) {
  const std::string Source = test::TestMedia("camera.mp4");
  const TMeasure Short =
      Measure(Source, Encoded("short.mkv", {{"qscale", "2"}, {"vframes", "10"}}));
  EXPECT_EQ(Short.Status, 0);
  EXPECT_EQ(Short.Pictures, "25/10");
  EXPECT_EQ(Short.Compared, 10);
  // A half-size copy is scaled back up: close, not the same.
  const TMeasure Small = Measure(Source, Encoded("small.mkv", {{"qscale", "2"}, {"s", "160x90"}}));
  EXPECT_EQ(Small.Status, 0);
  EXPECT_EQ(Small.Compared, 25);
  EXPECT_GT(Small.Psnr, 15.0);
  EXPECT_LT(Small.Psnr, Measure(Source, Encoded("full.mkv", {{"qscale", "2"}})).Psnr);
  // A lossless half-size copy, at its own size: the source brought down to it is what the
  // encoder was given, so nothing is lost; at the source's size the lost detail shows.
  const std::string Lossless = Encoded("lossless.mkv", {{"vcodec", "ffv1"}, {"s", "160x90"}});
  const TMeasure AtItsSize = Measure(Source, Lossless, "--at-distorted-size");
  EXPECT_EQ(AtItsSize.Status, 0);
  EXPECT_EQ(AtItsSize.Compared, 25);
  EXPECT_EQ(AtItsSize.Psnr, 100.0);
  EXPECT_LT(Measure(Source, Lossless).Psnr, 50.0);
}

TEST_F(TMeasureTest, FilesWithoutPicturesAndBadArgumentsFail) {
  EXPECT_EQ(Measure(test::TestMedia("camera.mp4"), test::TestMedia("tone.wav")).Status, 1);
  EXPECT_EQ(Measure(test::TestMedia("garbage.bin"), test::TestMedia("camera.mp4")).Status, 1);
  EXPECT_EQ(Measure(test::TestMedia("camera.mp4"), "' '" + test::TestMedia("camera.mp4")).Status,
            2);
}

} // namespace
} // namespace pelorix
