// Where the batch command line finds the window's settings and how it reads the output folder.
#include "ConvertSettings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

class TConvertSettingsTest : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("pelorix-settings-" + std::to_string(::getpid()));
    fs::create_directories(Dir / "prog");
    ::setenv("HOME", (Dir / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(Dir); }
  void Write(const fs::path& APath, const std::string& AText) {
    fs::create_directories(APath.parent_path());
    std::ofstream(APath, std::ios::binary) << AText;
  }
  std::string Prog() const { return (Dir / "prog").string() + "/"; }
  fs::path Dir;
};

TEST_F(TConvertSettingsTest, IniValuesAreFoundInTheirSectionWithTheToolkitsQuoting) {
  const fs::path File = Dir / "conf.ini";
  Write(File,
        "; comment\r\n[Other]\r\nstrOutput=/wrong\r\n[main]\r\n  StrOutput = \"/a, b\\\\c\"  \r\n"
        "booSameFolder=1\r\n");
  EXPECT_EQ(ReadIniValue(File.string(), "Main", "strOutput"), "/a, b\\c");
  EXPECT_EQ(ReadIniValue(File.string(), "Main", "booSameFolder"), "1");
  EXPECT_EQ(ReadIniValue(File.string(), "Main", "strFormat"), std::nullopt);
  EXPECT_EQ(ReadIniValue(File.string(), "Missing", "strOutput"), std::nullopt);
  EXPECT_EQ(ReadIniValue((Dir / "none.ini").string(), "Main", "strOutput"), std::nullopt);
}

TEST_F(TConvertSettingsTest, StoredFolderComesFromBesideTheProgramThenTheUsersConfig) {
  // Nothing stored anywhere: the home default.
  EXPECT_EQ(StoredOutputFolder(Prog()), (Dir / "home/orvaneVideo").string());
  // A writable program folder is the window's place even before the file exists there.
  EXPECT_EQ(SettingsFileName(Prog()), Prog() + "conf.ini");
  Write(Dir / "prog/conf.ini", "[Main]\nstrOutput=/videos/out\n");
  EXPECT_EQ(StoredOutputFolder(Prog()), "/videos/out");
  Write(Dir / "prog/conf.ini", "[Main]\nstrOutput=\n");
  EXPECT_EQ(StoredOutputFolder(Prog()), (Dir / "home/orvaneVideo").string());
  // A program folder that cannot hold the file: the user's configuration folder.
  const std::string Gone = (Dir / "gone").string() + "/";
  EXPECT_EQ(SettingsFileName(Gone), (Dir / "config/pelorix/conf.ini").string());
  Write(Dir / "config/pelorix/conf.ini", "[Main]\nstrOutput=/from/config\n");
  EXPECT_EQ(StoredOutputFolder(Gone), "/from/config");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(SettingsFileName(Gone), (Dir / "home/.config/pelorix/conf.ini").string());
}

} // namespace
} // namespace pelorix
