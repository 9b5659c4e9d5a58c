// The settings both front ends share: where the file lies, the keys' defaults and types, and
// what a write leaves for the next start to read.
#include "AppSettings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

class TAppSettingsTest : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("pelorix-settings-" + std::to_string(::getpid()));
    fs::remove_all(Dir);
    fs::create_directories(Dir / "prog");
    ::setenv("HOME", (Dir / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1);
  }
  void TearDown() override {
    fs::permissions(Dir / "prog", fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(Dir);
  }
  void Write(const fs::path& APath, const std::string& AText) {
    fs::create_directories(APath.parent_path());
    std::ofstream(APath, std::ios::binary) << AText;
  }
  std::string Text(const fs::path& APath) {
    std::stringstream Read;
    Read << std::ifstream(APath, std::ios::binary).rdbuf();
    return Read.str();
  }
  std::string Prog() const { return (Dir / "prog").string() + "/"; }
  std::string UserFile() const { return (Dir / "config/pelorix/conf.ini").string(); }
  fs::path Dir;
};

TEST_F(TAppSettingsTest, FirstStartGivesTheDefaultsAndAWriteIsReadBack) {
  TAppSettings Settings(Prog());
  // A writable program folder holds the file even before it exists there.
  EXPECT_EQ(Settings.FilePath(), Prog() + "conf.ini");
  const TSettingsValues First = Settings.Read();
  EXPECT_EQ(First.Output, (Dir / "home/orvaneVideo").string());
  EXPECT_FALSE(First.SameFolder);
  EXPECT_EQ(First.Format, "");

  std::string Failed;
  ASSERT_TRUE(Settings.Write({"/data/out", true, "MP4 Video (*.mp4)", "/data/clips"}, Failed));
  EXPECT_EQ(Text(Settings.FilePath()),
            "[Main]\nstrOutput=/data/out\nbooSameFolder=1\nstrFormat=MP4 "
            "Video (*.mp4)\nstrOpenFolder=/data/clips\nstrQuality=balanced\nbooCopyFitting=1\n");
  const TSettingsValues Back = TAppSettings(Prog()).Read();
  EXPECT_EQ(Back.Output, "/data/out");
  EXPECT_TRUE(Back.SameFolder);
  EXPECT_EQ(Back.Format, "MP4 Video (*.mp4)");
  EXPECT_EQ(Back.OpenFolder, "/data/clips");
  ASSERT_TRUE(Settings.Write({"/data/out", false, ""}, Failed));
  EXPECT_FALSE(TAppSettings(Prog()).Read().SameFolder);
}

TEST_F(TAppSettingsTest, StoredValuesAreReadByTheirTypes) {
  const std::pair<const char*, bool> SameFolder[] = {{"1", true},     {"2", true},   {" 1 ", true},
                                                     {"+1", true},    {"-3", true},  {"0", false},
                                                     {"true", false}, {"1x", false}, {"", false}};
  for (const auto& [Stored, Expected] : SameFolder) {
    SCOPED_TRACE(Stored);
    Write(Dir / "prog/conf.ini", std::string("[Main]\nbooSameFolder=") + Stored + "\n");
    EXPECT_EQ(TAppSettings(Prog()).Read().SameFolder, Expected);
  }
  // An empty folder is no folder: the default takes its place.
  Write(Dir / "prog/conf.ini", "[Main]\nstrOutput=\nstrFormat=WebM Video (*.webm)\n");
  const TSettingsValues Values = TAppSettings(Prog()).Read();
  EXPECT_EQ(Values.Output, (Dir / "home/orvaneVideo").string());
  EXPECT_EQ(Values.Format, "WebM Video (*.webm)");
}

TEST_F(TAppSettingsTest, AProgramFolderThatCannotHoldTheFileGivesTheUsersConfigFolder) {
  const std::string Gone = (Dir / "gone").string() + "/";
  TAppSettings Settings(Gone);
  EXPECT_EQ(Settings.FilePath(), UserFile());
  std::string Failed;
  ASSERT_TRUE(Settings.Write({"/x", false, ""}, Failed));
  EXPECT_EQ(TAppSettings(Gone).Read().Output, "/x");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(TAppSettings(Gone).FilePath(), (Dir / "home/.config/pelorix/conf.ini").string());

  // Neither place can be written: the failure names the last one tried.
  ::setenv("XDG_CONFIG_HOME", "/proc/pelorix-missing-config", 1);
  TAppSettings Nowhere("/proc/pelorix-missing/");
  EXPECT_FALSE(Nowhere.Write({"/x", false, ""}, Failed));
  EXPECT_EQ(Failed, "/proc/pelorix-missing-config/pelorix/conf.ini");
}

// The file beside the program exists but may not be written: the user's file is read and
// written, the one beside the program giving the values until the user's exists.
TEST_F(TAppSettingsTest, AReadOnlyFileBesideTheProgramLeavesReadingAndWritingToOneFile) {
  if (::geteuid() == 0)
    GTEST_SKIP() << "the superuser writes any file; the window's test runs "
                    "this as an unprivileged user";
  Write(Dir / "prog/conf.ini", "[Main]\nstrOutput=/from/beside\nbooSameFolder=1\n");
  fs::permissions(Dir / "prog/conf.ini", fs::perms::owner_read);
  TAppSettings Settings(Prog());
  EXPECT_EQ(Settings.FilePath(), UserFile());
  EXPECT_EQ(Settings.Read().Output, "/from/beside");
  EXPECT_TRUE(Settings.Read().SameFolder);
  std::string Failed;
  ASSERT_TRUE(Settings.Write({"/changed", false, ""}, Failed));
  const TAppSettings Next(Prog());
  EXPECT_EQ(Next.FilePath(), UserFile());
  EXPECT_EQ(Next.Read().Output, "/changed");
  EXPECT_FALSE(Next.Read().SameFolder);
}

} // namespace
} // namespace pelorix
