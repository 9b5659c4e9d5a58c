// What a run must never do to a user: write over its own input, report a failed write or an
// empty conversion as success, abort on a damaged file, delete something that is not its own
// empty file, or leak what a failed second pass read.
#include "MediaTestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace pelorix {
namespace {

namespace fs = std::filesystem;
using test::TestMedia;

std::string ReadBytes(const fs::path& APath) {
  std::ifstream File(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& APath, const std::string& ABytes) {
  std::ofstream File(APath, std::ios::binary | std::ios::trunc);
  File << ABytes;
}

// Where the content of the first cluster of a Matroska file begins, just after the cluster's
// ID and size: the elements of the segment are walked, as the ID also stands in the seek head.
size_t FirstClusterContent(const std::string& ABytes) {
  size_t Pos = 0;
  // An EBML number of 1 to 8 bytes; the length marker is kept for IDs and dropped for sizes.
  const auto Number = [&](bool AKeepMarker) -> uint64_t {
    if (Pos >= ABytes.size()) return 0;
    const auto First = static_cast<unsigned char>(ABytes[Pos]);
    int Length = 1;
    while (Length <= 8 && !(First & (0x80 >> (Length - 1)))) ++Length;
    uint64_t Value = AKeepMarker ? First : First & (0xFF >> Length);
    for (int I = 1; I < Length && Pos + I < ABytes.size(); ++I)
      Value = Value << 8 | static_cast<unsigned char>(ABytes[Pos + I]);
    Pos += Length;
    return Value;
  };
  Number(true);
  Pos += Number(false); // past the EBML header
  if (Number(true) != 0x18538067) return std::string::npos;
  Number(false); // into the segment
  while (Pos < ABytes.size()) {
    if (Number(true) == 0x1F43B675) {
      Number(false);
      return Pos;
    }
    Pos += Number(false);
  }
  return std::string::npos;
}

class TRunSafetyTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    fs::create_directories(Dir);
    Engine.Reset();
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string Path(const std::string& AName) const { return (Dir / AName).string(); }
  // A copy of a test clip in the test's folder, free to be damaged or written over.
  std::string Copy(const std::string& AClip) {
    fs::copy_file(TestMedia(AClip), Dir / AClip, fs::copy_options::overwrite_existing);
    return Path(AClip);
  }
  // Runs on this thread; the run's error, or "" when it finished.
  std::string RunToEnd() {
    Engine.Start(false, TConvertPriority::tpNormal);
    return Engine.ErrorOccurred() ? Engine.ErrorMessage() : std::string();
  }
  bool Logged(const std::string& AText) {
    const auto Lines = Recorder.LogLines();
    return std::any_of(Lines.begin(), Lines.end(),
                       [&](const test::TLogLine& ALine) { return ALine.Text == AText; });
  }

  fs::path Dir = fs::temp_directory_path() / ("pelorix-safety-" + std::to_string(::getpid()));
  TCustomFFmpeg Engine;
  test::TEngineRecorder Recorder{Engine};
};

TEST_F(TRunSafetyTest, RefusesToWriteOverAnOpenedInput) {
  const std::string Source = Copy("mpeg4_mp3.avi");
  const std::string Before = ReadBytes(Source);
  fs::create_hard_link(Source, Path("link.avi"));
  ASSERT_TRUE(Engine.OpenInputFile(Source)) << Engine.LastErrorText();

  // The same file by its name, another spelling of it, a hard link and the file protocol.
  for (const std::string& Name :
       {Source, (Dir / "." / "mpeg4_mp3.avi").string(), Path("link.avi"), "file:" + Source}) {
    Engine.SetOption("vcodec", "mpeg4");
    EXPECT_FALSE(Engine.OpenOutputFile(Name)) << Name;
    EXPECT_EQ(Engine.LastErrorText(), "Output file '" + Name + "' is the input file '" + Source +
                                          "': choose another output file");
  }
  EXPECT_EQ(ReadBytes(Source), Before);
  // Another file of the folder is fine.
  EXPECT_TRUE(Engine.OpenOutputFile(Path("other.avi"))) << Engine.LastErrorText();
}

TEST_F(TRunSafetyTest, RefusesTheInputsPathAfterTheInputWasRemoved) {
  const std::string Source = Copy("tone.wav");
  ASSERT_TRUE(Engine.OpenInputFile(Source));
  fs::remove(Source);
  EXPECT_FALSE(Engine.OpenOutputFile(Source));
  EXPECT_FALSE(fs::exists(Source));
}

TEST_F(TRunSafetyTest, AFullDeviceFailsTheRunWithTheSystemsReason) {
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("tone.wav")));
  Engine.SetOption("f", "mp3");
  ASSERT_TRUE(Engine.OpenOutputFile("/dev/full")) << Engine.LastErrorText();
  EXPECT_EQ(RunToEnd(), "Could not write output file '/dev/full': No space left on device");
  EXPECT_FALSE(Engine.Finished());
}

TEST_F(TRunSafetyTest, AStreamWithoutKnownPicturesFailsWithoutAborting) {
  // An MP4 and a Matroska file cut just after their headers (the Matroska one after the
  // header of its first cluster): the video streams were never seen decoded.
  const std::string Mkv = ReadBytes(TestMedia("multi.mkv"));
  const size_t Cluster = FirstClusterContent(Mkv);
  ASSERT_NE(Cluster, std::string::npos);
  WriteBytes(Path("cut.mkv"), Mkv.substr(0, Cluster));

  for (const std::string& Input : {TestMedia("header_only.mp4"), Path("cut.mkv")}) {
    TCustomFFmpeg Run;
    Run.Reset();
    ASSERT_TRUE(Run.OpenInputFile(Input)) << Run.LastErrorText();
    Run.SetOption("vcodec", "libxvid");
    Run.SetOption("acodec", "libmp3lame");
    ASSERT_TRUE(Run.OpenOutputFile(Path("out.avi"))) << Run.LastErrorText();
    Run.Start(false, TConvertPriority::tpNormal);
    EXPECT_TRUE(Run.ErrorOccurred()) << Input;
    EXPECT_EQ(Run.ErrorMessage(),
              "Input stream #0.0 has no known picture format or size: it cannot be converted");
    EXPECT_FALSE(Run.Finished());
  }
}

TEST_F(TRunSafetyTest, AnInputWithoutMediaDataIsNotAConversion) {
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("header_only.m4a"))) << Engine.LastErrorText();
  ASSERT_TRUE(Engine.OpenOutputFile(Path("out.mp3")));
  EXPECT_EQ(RunToEnd(), "The input holds no media data: nothing was converted");
  EXPECT_FALSE(Engine.Finished());
}

TEST_F(TRunSafetyTest, CleanupLeavesDevicesAndFifosAlone) {
  ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
  // A reader, so that opening the FIFO for writing does not wait.
  const int Reader = ::open(Path("pipe").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(Reader, 0);
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("header_only.m4a")));
  Engine.SetOption("f", "mp3");
  ASSERT_TRUE(Engine.OpenOutputFile(Path("pipe"))) << Engine.LastErrorText();
  Engine.SetOption("f", "mp3");
  ASSERT_TRUE(Engine.OpenOutputFile("/dev/null")) << Engine.LastErrorText();
  EXPECT_NE(RunToEnd(), ""); // nothing written: both would be empty files if they were files
  ::close(Reader);

  struct stat Info {};
  ASSERT_EQ(::stat(Path("pipe").c_str(), &Info), 0);
  EXPECT_TRUE(S_ISFIFO(Info.st_mode));
  ASSERT_EQ(::stat("/dev/null", &Info), 0);
  EXPECT_TRUE(S_ISCHR(Info.st_mode));
}

TEST_F(TRunSafetyTest, AGarbageSecondPassLogFailsAndFreesWhatItRead) {
  WriteBytes(Path("stats-0.log"), "this is no rate control log\n\x01\x02 in: 7 out:\n");
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("mpeg4_aac.3gp")));
  Engine.SetOption("pass", "2");
  Engine.SetOption("passlogfile", Path("stats"));
  Engine.SetOption("vcodec", "mpeg4");
  Engine.SetOption("an", "");
  ASSERT_TRUE(Engine.OpenOutputFile(Path("out.avi")));
  // The leak checker of the sanitizer build holds the rest: the text read must be freed.
  EXPECT_EQ(RunToEnd(), "Error while opening codec for output stream #0.0 - maybe incorrect "
                        "parameters such as bit_rate, rate, width or height");
}

TEST_F(TRunSafetyTest, OpenFailuresLogTheSystemsReasonFirst) {
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("tone.wav")));
  const std::string Missing = Path("no-such-folder/out.mp3");
  EXPECT_FALSE(Engine.OpenOutputFile(Missing));
  EXPECT_EQ(Engine.LastErrorText(), "Could not open '" + Missing + "': No such file or directory");
  EXPECT_TRUE(Logged(Missing + ": No such file or directory"));

  // A folder given as the input: the fixed text stays, the reason comes before it.
  TCustomFFmpeg Other;
  test::TEngineRecorder OtherRecorder(Other);
  Other.Reset();
  EXPECT_FALSE(Other.OpenInputFile(Dir.string()));
  const auto Lines = OtherRecorder.LogLines();
  ASSERT_FALSE(Lines.empty());
  EXPECT_EQ(Lines.back(), (test::TLogLine{0, Dir.string() + ": Is a directory"}));
  EXPECT_EQ(Other.LastErrorText(), Dir.string() + ": Error while opening file: Is a directory");
}

} // namespace
} // namespace pelorix
