// Output files written under temporary names: what another program sees in the folder while a
// claim runs and after it ends, names taken by someone else meanwhile, leftovers of killed
// programs, and the same-file test that keeps an output off its input.
#include "OutputClaim.h"
#include "FileIdentity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

class TOutputClaimTest : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("pelorix-claim-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string In(const std::string& AName) const { return (Dir / AName).string(); }
  static void Write(const std::string& APath, const std::string& AText) {
    std::ofstream(APath, std::ios::binary | std::ios::trunc) << AText;
  }
  static std::string Read(const std::string& APath) {
    std::ifstream File(APath, std::ios::binary);
    return {std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>()};
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> Found;
    for (const auto& Entry : fs::directory_iterator(Dir))
      Found.push_back(Entry.path().filename().string());
    std::sort(Found.begin(), Found.end());
    return Found;
  }
  fs::path Dir;
};

TEST(TOutputNamesTest, NumberedNamesFollowTheOutputNameStyle) {
  EXPECT_EQ(NumberedOutputName("/a/clip (XviD Video).avi", 1), "/a/clip (XviD Video [1]).avi");
  EXPECT_EQ(NumberedOutputName("/a/clip (XviD Video [1]).avi", 1), "/a/clip (XviD Video [2]).avi");
  EXPECT_EQ(NumberedOutputName("/a/out.mp3", 3), "/a/out [3].mp3");
  EXPECT_EQ(NumberedOutputName("/a.b/out", 1), "/a.b/out [1]");
  EXPECT_EQ(NumberedOutputName("/a/(x)/.hidden", 1), "/a/(x)/.hidden [1]");
  EXPECT_TRUE(IsTemporaryOutputName(".pelorix-abcdefghij12.avi"));
  EXPECT_TRUE(IsTemporaryOutputName(".pelorix-abcdefghij12"));
  EXPECT_FALSE(IsTemporaryOutputName(".pelorix-abc.avi"));
  EXPECT_FALSE(IsTemporaryOutputName(".pelorix-ABCDEFGHIJ12.avi"));
  EXPECT_FALSE(IsTemporaryOutputName("pelorix-abcdefghij12.avi"));
}

// While the run writes, the folder shows only a hidden file with the output's extension; at
// the end the output has its name and the hidden file is gone.
TEST_F(TOutputClaimTest, TheOutputAppearsUnderItsNameOnlyWhenCommitted) {
  TOutputClaim Claim;
  std::string Error;
  ASSERT_TRUE(Claim.Begin(In("out.mkv"), Error)) << Error;
  const std::string Temporary = fs::path(Claim.TemporaryName()).filename().string();
  EXPECT_TRUE(IsTemporaryOutputName(Temporary)) << Temporary;
  EXPECT_EQ(fs::path(Temporary).extension(), ".mkv");
  EXPECT_EQ(Names(), std::vector<std::string>{Temporary});
  EXPECT_FALSE(Claim.HasContent());
  Write(Claim.TemporaryName(), "data");
  EXPECT_TRUE(Claim.HasContent());
  ASSERT_TRUE(Claim.Commit(false, Error)) << Error;
  EXPECT_EQ(Claim.FinalName(), In("out.mkv"));
  EXPECT_EQ(Names(), std::vector<std::string>{"out.mkv"});
  EXPECT_EQ(Read(In("out.mkv")), "data");
}

// Another program took the name meanwhile: its file stays as it is and this output takes the
// next free numbered name, skipping one this process has reserved for another task.
TEST_F(TOutputClaimTest, ANameTakenMeanwhileGoesToTheNextFreeNumber) {
  TOutputClaim Claim;
  std::string Error;
  ASSERT_TRUE(Claim.Begin(In("clip (MP4 Video).mp4"), Error)) << Error;
  Write(Claim.TemporaryName(), "mine");
  Write(In("clip (MP4 Video).mp4"), "theirs");
  ReserveOutputName(In("clip (MP4 Video [1]).mp4"));
  ASSERT_TRUE(Claim.Commit(false, Error)) << Error;
  ReleaseOutputName(In("clip (MP4 Video [1]).mp4"));
  EXPECT_EQ(Claim.FinalName(), In("clip (MP4 Video [2]).mp4"));
  EXPECT_EQ(Read(In("clip (MP4 Video).mp4")), "theirs");
  EXPECT_EQ(Read(In("clip (MP4 Video [2]).mp4")), "mine");
  EXPECT_EQ(Names().size(), 2u);
}

// A replacing claim leaves the old file whole until the commit; one abandoned (a failed run)
// leaves it whole for good and removes only its own temporary file.
TEST_F(TOutputClaimTest, TheOldFileIsReplacedOnlyByACommit) {
  Write(In("out.mp3"), "old");
  std::string Error;
  {
    TOutputClaim Failed;
    ASSERT_TRUE(Failed.Begin(In("out.mp3"), Error)) << Error;
    Write(Failed.TemporaryName(), "half");
    EXPECT_EQ(Read(In("out.mp3")), "old");
    Failed.Abandon();
  }
  EXPECT_EQ(Names(), std::vector<std::string>{"out.mp3"});
  EXPECT_EQ(Read(In("out.mp3")), "old");

  TOutputClaim Replacing;
  ASSERT_TRUE(Replacing.Begin(In("out.mp3"), Error)) << Error;
  Write(Replacing.TemporaryName(), "new");
  EXPECT_EQ(Read(In("out.mp3")), "old");
  ASSERT_TRUE(Replacing.Commit(true, Error)) << Error;
  EXPECT_EQ(Names(), std::vector<std::string>{"out.mp3"});
  EXPECT_EQ(Read(In("out.mp3")), "new");

  // A claim that goes without a commit also removes its file, and only that.
  {
    TOutputClaim Dropped;
    ASSERT_TRUE(Dropped.Begin(In("out.mp3"), Error)) << Error;
  }
  EXPECT_EQ(Names(), std::vector<std::string>{"out.mp3"});
}

// The next claim in a folder clears what a killed program left (no lock held), never the file
// of a claim still running, nor other hidden files.
TEST_F(TOutputClaimTest, LeftoversOfKilledProgramsGoWithTheNextClaimInTheFolder) {
  Write(In(".pelorix-abcdefghij12.avi"), "left by a killed run");
  Write(In(".pelorix-notours.avi"), "someone else's");
  TOutputClaim Running;
  std::string Error;
  ASSERT_TRUE(Running.Begin(In("a.avi"), Error, false)) << Error;
  Write(Running.TemporaryName(), "still being written");
  EXPECT_EQ(Names().size(), 3u);

  TOutputClaim Next;
  ASSERT_TRUE(Next.Begin(In("b.avi"), Error)) << Error;
  const std::vector<std::string> Left = Names();
  EXPECT_EQ(Left.size(), 3u);
  EXPECT_EQ(std::count(Left.begin(), Left.end(), ".pelorix-abcdefghij12.avi"), 0);
  EXPECT_EQ(std::count(Left.begin(), Left.end(), ".pelorix-notours.avi"), 1);
  EXPECT_EQ(Read(Running.TemporaryName()), "still being written");
  ASSERT_TRUE(Running.Commit(false, Error)) << Error;
  EXPECT_EQ(Read(In("a.avi")), "still being written");
}

TEST_F(TOutputClaimTest, AFolderThatTakesNoFileFailsWithTheReason) {
  Write(In("file"), "x");
  TOutputClaim Claim;
  std::string Error;
  EXPECT_FALSE(Claim.Begin(In("file/out.avi"), Error));
  EXPECT_EQ(Error, "Could not open '" + In("file/out.avi") + "': Not a directory");
  EXPECT_FALSE(Claim.Active());
}

// Every way of naming one file is the same file; a file about to be made is compared by
// where it would be.
TEST_F(TOutputClaimTest, EverySpellingOfAFileIsTheSameFile) {
  Write(In("x.avi"), "source");
  fs::create_hard_link(In("x.avi"), In("hard.avi"));
  fs::create_symlink(In("x.avi"), In("soft.avi"));
  const std::string Plain = In("x.avi");
  for (const std::string& Other : {Plain, Dir.string() + "/./x.avi", Dir.string() + "//x.avi",
                                   "file:" + Plain, In("hard.avi"), In("soft.avi")})
    EXPECT_TRUE(SameLocalFile(Other, Plain)) << Other;
  EXPECT_TRUE(SameLocalFile(In("new.avi"), Dir.string() + "/./new.avi"));
  EXPECT_FALSE(SameLocalFile(In("new.avi"), Plain));
  EXPECT_FALSE(SameLocalFile("pipe:1", Plain));
  Write(In("copy.avi"), "source");
  EXPECT_FALSE(SameLocalFile(In("copy.avi"), Plain));
}

} // namespace
} // namespace pelorix
