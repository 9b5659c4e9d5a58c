// The format table and the option building, without converting: entry texts and their parsing,
// output names, the encoders' limits, the bit-rate rule and the task's output options.
#include "OutputFormats.h"
#include "MediaTestSupport.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

class TScratchFolder : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("pelorix-formats-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string In(const std::string& AName) const { return (Dir / AName).string(); }
  static void Touch(const std::string& APath) { std::ofstream(APath) << "x"; }
  fs::path Dir;
};

const TOutputFormat& Entry(const std::string& AName) {
  const TOutputFormat* Format = FindOutputFormat(AName);
  if (!Format) throw std::runtime_error("no entry " + AName);
  return *Format;
}

TEST(TOutputFormatsTest, EntryTextsParseIntoLabelAndExtensionAndFindTheirEntry) {
  EXPECT_EQ(FindOutputFormat("mp4"), &OutputFormats()[1]);
  EXPECT_EQ(FindOutputFormat(".MKV"), &OutputFormats()[3]);
  EXPECT_EQ(FindOutputFormat("mp4 video"), &OutputFormats()[1]);
  EXPECT_EQ(FindOutputFormat("mpeg"), nullptr);
  EXPECT_EQ(FindOutputFormat(""), nullptr);
  EXPECT_EQ(FormatExtension("XviD Video (*.avi)"), ".avi");
  EXPECT_EQ(FormatLabel("XviD Video (*.avi)"), "XviD Video");
  EXPECT_EQ(FormatLabel("3GP Phone Video (*.3gp)"), "3GP Phone Video");
  EXPECT_EQ(FormatLabel("A*B (*.x) (y)"), "AxB");
  EXPECT_EQ(FormatExtension("A*B (*.x) (y)"), ".x");
  EXPECT_EQ(FormatExtension("No extension"), "");
  EXPECT_EQ(FormatLabel("No extension"), "No extension");
  EXPECT_EQ(FormatLabel("(*.avi)"), "");
  EXPECT_EQ(FormatExtension("Cut (*"), "");
  EXPECT_EQ(FormatExtension("Open (*.avi"), ".avi");
  // A whole audio extension in any case; never a part of one, never an empty one.
  EXPECT_TRUE(IsAudioExtension(".mp3"));
  EXPECT_TRUE(IsAudioExtension(".flac"));
  EXPECT_TRUE(IsAudioExtension(".ra"));
  EXPECT_TRUE(IsAudioExtension(".MP3"));
  EXPECT_TRUE(IsAudioExtension(".Ogg"));
  for (const char* Part : {".m", ".mp", ".a", ".og", ".w", ".fla", "mp3", ".mp3 "})
    EXPECT_FALSE(IsAudioExtension(Part)) << Part;
  EXPECT_FALSE(IsAudioExtension(".m4a"));
  EXPECT_FALSE(IsAudioExtension(""));
  EXPECT_EQ(PathExtension("/a.b/clip"), "");
  EXPECT_EQ(PathExtension("/a.b/clip.tar.mp3"), ".mp3");
  EXPECT_EQ(PathExtension("clip."), ".");
}

TEST_F(TScratchFolder, OutputNamesNumberTheLabelWhileAFileOfThatNameExists) {
  const std::string Source = In("clip.3gp");
  EXPECT_EQ(MakeOutputName(Source, ".avi", "XviD Video"), In("clip (XviD Video).avi"));
  Touch(In("clip (XviD Video).avi"));
  EXPECT_EQ(MakeOutputName(Source, ".avi", "XviD Video"), In("clip (XviD Video [1]).avi"));
  Touch(In("clip (XviD Video [1]).avi"));
  fs::create_directory(In("clip (XviD Video [2]).avi")); // a folder counts as taken
  EXPECT_EQ(MakeOutputName(Source, ".avi", "XviD Video"), In("clip (XviD Video [3]).avi"));
  // Only the file name's extension goes; a dot in a folder name stays.
  fs::create_directory(In("v.1"));
  EXPECT_EQ(MakeOutputName(In("v.1/clip"), ".mp4", "MP4 Video"), In("v.1/clip (MP4 Video).mp4"));
}

TEST(TOutputFormatsTest, FrameSizesAreEvenAndThePhoneEntryKeepsTheShapeAt352Wide) {
  using TSize = std::pair<int32_t, int32_t>;
  const TOutputFormat& Phone = Entry("3gp");
  EXPECT_EQ(OutputFrameSize(Phone, 1280, 720), TSize(352, 198));
  EXPECT_EQ(OutputFrameSize(Phone, 1920, 1080), TSize(352, 198));
  EXPECT_EQ(OutputFrameSize(Phone, 720, 576), TSize(352, 282));
  EXPECT_EQ(OutputFrameSize(Phone, 176, 144), TSize(176, 144));
  EXPECT_EQ(OutputFrameSize(Phone, 352, 4000), TSize(352, 4000));
  EXPECT_EQ(OutputFrameSize(Entry("mp4"), 175, 143), TSize(174, 142));
  EXPECT_EQ(OutputFrameSize(Entry("avi"), 1280, 720), TSize(1280, 720));
  EXPECT_EQ(OutputFrameSize(Entry("mp4"), 1, 1), TSize(2, 2));
  EXPECT_EQ(OutputFrameSize(Entry("mp4"), -1, -1), TSize(-1, -1));
}

TEST(TOutputFormatsTest, VideoRatesAndCapsGrowWithThePictureWithinLimits) {
  using enum TQualityLevel;
  EXPECT_EQ(VideoBitrateFor(Entry("avi"), 176, 144), 1500000);
  EXPECT_EQ(VideoBitrateFor(Entry("avi"), 1920, 1080, qlSmaller), 1050000);
  EXPECT_EQ(VideoBitrateFor(Entry("avi"), 176, 144, qlBetter), 2250000);
  // The caps of the constant-quality entries do not move with the level.
  EXPECT_EQ(VideoBitrateFor(Entry("mp4"), 1920, 1080, qlBetter), 24883200);
  EXPECT_EQ(VideoBitrateFor(Entry("mkv"), 1280, 720, qlSmaller), 11059200);
  EXPECT_EQ(VideoBitrateFor(Entry("mp4"), 16, 16), 500000);
  EXPECT_EQ(VideoBitrateFor(Entry("mp4"), 8000, 8000), 40000000);
  EXPECT_EQ(VideoBitrateFor(Entry("3gp"), 1280, 720), 1115136); // after the 352 limit
  EXPECT_EQ(VideoBitrateFor(Entry("webm"), 1280, 720), -1); // no cap in its quality mode
  EXPECT_EQ(VideoBitrateFor(Entry("mpg"), 1280, 720), -1); // the target's own
}

TEST(TOutputFormatsTest, QualityLevelsHaveOneNameEach) {
  using enum TQualityLevel;
  for (TQualityLevel Level : {qlSmaller, qlBalanced, qlBetter})
    EXPECT_EQ(QualityLevelNamed(QualityLevelName(Level)), Level);
  EXPECT_EQ(QualityLevelNamed("Better"), qlBetter);
  EXPECT_EQ(QualityLevelNamed("best"), std::nullopt);
  EXPECT_EQ(QualityLevelNamed(""), std::nullopt);
  EXPECT_EQ(QualityLevelText(qlSmaller), "Smaller file");
  EXPECT_EQ(QualityLevelText(qlBetter), "Better quality");
}

TSourceFacts ClipFacts(const std::string& AName) {
  TSourceFacts Facts;
  Facts.OpenedFileName = AName;
  Facts.HasVideo = true;
  Facts.Width = 176;
  Facts.Height = 144;
  Facts.Channels = 1;
  Facts.SampleRate = 16000;
  Facts.AudioBitrate = 32000;
  return Facts;
}

TEST_F(TScratchFolder, XviDOutputIntoAMissingFolderTakesTheSourceValues) {
  const std::string Folder = In("out/deeper");
  const TTaskOutput Output = BuildTaskOutput(OutputFormats().front(), In("clip.3gp"),
                                             ClipFacts(In("clip.3gp")), false, Folder);
  EXPECT_TRUE(fs::is_directory(Folder));
  EXPECT_EQ(Output.FileName, Folder + "/clip (XviD Video).avi");
  const TOutputOptions& O = Output.Options;
  EXPECT_EQ(O.VideoCodec, "libxvid");
  EXPECT_EQ(O.AudioCodec, "libmp3lame");
  EXPECT_EQ(O.FileFormat, "");
  EXPECT_EQ(O.AudioChannels, 1);
  EXPECT_EQ(O.AudioSampleRate, 16000);
  EXPECT_EQ(O.AudioBitrate, 32000);
  EXPECT_EQ(O.FrameSize, "176x144");
  EXPECT_EQ(O.VideoBitrate, 1500000);
  EXPECT_FALSE(O.DisableVideo);
  EXPECT_FALSE(O.DisableSubtitle);
  EXPECT_EQ(O.ThreadCount, 0);
  EXPECT_EQ(O.FileName, ""); // SetTaskOutput fills it in
  // A folder text ending in a separator still gets one.
  EXPECT_EQ(
      BuildTaskOutput(OutputFormats().front(), In("clip.3gp"), ClipFacts(""), false, Folder + "/")
          .FileName,
      Folder + "//clip (XviD Video).avi");
}

TEST_F(TScratchFolder, VideoIsLeftOutForSourcesWithoutVideoAndForAudioEntries) {
  const TOutputFormat& XviD = OutputFormats().front();
  auto Built = [&](const TOutputFormat& AFormat, TSourceFacts AFacts) {
    return BuildTaskOutput(AFormat, In("clip.x"), AFacts, true, "").Options;
  };
  TSourceFacts NoVideo = ClipFacts("/m/talk.m4a");
  NoVideo.HasVideo = false;
  NoVideo.Width = NoVideo.Height = -1;
  EXPECT_TRUE(Built(XviD, NoVideo).DisableVideo);
  EXPECT_EQ(Built(XviD, NoVideo).FrameSize, "");
  EXPECT_EQ(Built(XviD, NoVideo).VideoBitrate, -1);
  // Video that is there stays, whatever the source's name says.
  for (const char* Name : {"/m/noextension", "/m/clip.mp", "/m/clip.ogg", "/m/clip.MP3"})
    EXPECT_FALSE(Built(XviD, ClipFacts(Name)).DisableVideo) << Name;
  EXPECT_TRUE(Built(Entry("opus"), ClipFacts("/m/clip.mp4")).DisableVideo);
  EXPECT_TRUE(Built(Entry("wav"), ClipFacts("/m/clip.mp4")).DisableVideo);
  EXPECT_FALSE(Built(Entry("mp4"), ClipFacts("/m/clip.mp4")).DisableVideo);
  // Beside the source.
  EXPECT_EQ(BuildTaskOutput(XviD, In("clip.x"), NoVideo, true, "ignored").FileName,
            In("clip (XviD Video).avi"));
}

TEST(TThreadCountOptionTest, ThreadCountReachesTheEngineOnlyWhenSet) {
  test::RequireMediaLibraries();
  TCustomFFmpeg Engine;
  Engine.Reset();
  TOutputOptions Options;
  ApplyOutputOptions(Engine, Options);
  EXPECT_EQ(Engine.ThreadCount(), 1);
  Options.ThreadCount = 3;
  ApplyOutputOptions(Engine, Options);
  EXPECT_EQ(Engine.ThreadCount(), 3);
  Options.ThreadCount = 0; // automatic: one per online processor
  ApplyOutputOptions(Engine, Options);
  const int Automatic = Engine.ThreadCount();
  EXPECT_EQ(Automatic, std::clamp<int>(::sysconf(_SC_NPROCESSORS_ONLN), 1, 16));
  Options.ThreadCount = -1; // not set: what the engine has stays
  ApplyOutputOptions(Engine, Options);
  EXPECT_EQ(Engine.ThreadCount(), Automatic);
}

} // namespace
} // namespace pelorix
