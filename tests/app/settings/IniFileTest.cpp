// The toolkit's INI text without the toolkit: a file the window's toolkit wrote reads back
// with the same values, the same values are written as the toolkit writes them, and writing
// one key leaves every other line alone.
#include "IniFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

// The toolkit's own output for these values, as its INI writer left it in a file.
struct TStoredValue {
  const char* Key;
  std::string Value;
  const char* Line;
};
const TStoredValue ToolkitLines[] = {
    {"strOutput", "/a, b\\c \"q\" ;x=y \xC3\xA9\t\n",
     "strOutput=\"/a, b\\\\c \\\"q\\\" ;x=y \xC3\xA9\\t\\n\""},
    {"lead", " lead", "lead=\" lead\""},
    {"at", "@at", "at=@@at"},
    {"control", std::string("a\x01") + "b1", "control=a\\x1\\x62\\x31"},
    {"spaces", "plain/path with space", "spaces=plain/path with space"},
    {"hash", "#hash", "hash=#hash"},
    {"empty", "", "empty="},
};

TEST(TIniFileTest, ValuesAreWrittenAndReadAsTheToolkitDoes) {
  for (const TStoredValue& Stored : ToolkitLines) {
    SCOPED_TRACE(Stored.Key);
    EXPECT_EQ(std::string(Stored.Key) + "=" + IniEscaped(Stored.Value), Stored.Line);
    const std::string Raw = std::string(Stored.Line).substr(std::string(Stored.Key).size() + 1);
    EXPECT_EQ(IniUnescaped(Raw), Stored.Value);
  }
}

TEST(TIniFileTest, ReadingFollowsTheToolkitsRules) {
  const fs::path File = fs::temp_directory_path() / ("pelorix-ini-" + std::to_string(::getpid()));
  std::ofstream(File, std::ios::binary) << "; comment\r\n"
                                           "[main]\r\n"
                                           "strOutput = /lower\r\n"
                                           "[Main]\r\n"
                                           "StrOutput=/upper\r\n"
                                           "strOutput = \"/a, b\\\\c\"  \r\n"
                                           "list=a, b\n"
                                           "quoted=\"x\" y\n"
                                           "escapes=\\x41\\101z\n"
                                           "semi=abc;def\n"
                                           "dup=1\n"
                                           "dup=2\n";
  TIniFile Ini;
  ASSERT_TRUE(Ini.Load(File.string()));
  fs::remove(File);
  // Sections and keys by their exact names; the last of two wins.
  EXPECT_EQ(Ini.Value("Main", "strOutput"), "/a, b\\c");
  EXPECT_EQ(Ini.Value("main", "strOutput"), "/lower");
  EXPECT_EQ(Ini.Value("Main", "StrOutput"), "/upper");
  EXPECT_EQ(Ini.Value("Main", "dup"), "2");
  // Unquoted commas make a list, which is no text; a semicolon starts a comment.
  EXPECT_EQ(Ini.Value("Main", "list"), "");
  EXPECT_EQ(Ini.Value("Main", "quoted"), "xy");
  EXPECT_EQ(Ini.Value("Main", "escapes"), "AAz");
  EXPECT_EQ(Ini.Value("Main", "semi"), "abc");
  EXPECT_EQ(Ini.Value("Main", "missing"), std::nullopt);
  EXPECT_EQ(Ini.Value("Other", "strOutput"), std::nullopt);
  EXPECT_FALSE(Ini.Load((File.string() + ".none")));
  EXPECT_EQ(Ini.Value("Main", "strOutput"), std::nullopt);
}

TEST(TIniFileTest, SettingAValueKeepsEveryOtherLine) {
  TIniFile Ini;
  Ini.SetValue("Main", "strOutput", "/first");
  EXPECT_EQ(Ini.Text(), "[Main]\nstrOutput=/first\n");

  const fs::path File = fs::temp_directory_path() / ("pelorix-ini-" + std::to_string(::getpid()));
  std::ofstream(File, std::ios::binary) << "; kept\n[Main]\nstrOutput=/old\nother=1\n\n"
                                           "[Later]\nkey=v\n";
  ASSERT_TRUE(Ini.Load(File.string()));
  Ini.SetValue("Main", "strOutput", "/new, with a comma");
  Ini.SetValue("Main", "booSameFolder", "1");
  Ini.SetValue("Extra", "strFormat", "MP4 Video (*.mp4)");
  ASSERT_TRUE(Ini.Save(File.string()));
  std::stringstream Written;
  Written << std::ifstream(File, std::ios::binary).rdbuf();
  EXPECT_EQ(Written.str(), "; kept\n[Main]\nstrOutput=\"/new, with a comma\"\nother=1\n"
                           "booSameFolder=1\n\n[Later]\nkey=v\n\n[Extra]\nstrFormat=MP4 Video "
                           "(*.mp4)\n");
  // Nothing else is left in the folder: the temporary file became the file.
  int Siblings = 0;
  for (const auto& Entry : fs::directory_iterator(File.parent_path()))
    Siblings += Entry.path().filename().string().rfind(File.filename().string(), 0) == 0;
  EXPECT_EQ(Siblings, 1);
  fs::remove(File);
}

TEST(TIniFileTest, AFileInAFolderThatTakesNoNewFileIsWrittenInPlace) {
  if (::geteuid() == 0) GTEST_SKIP() << "the superuser writes into any folder";
  const fs::path Folder =
      fs::temp_directory_path() / ("pelorix-ini-folder-" + std::to_string(::getpid()));
  fs::create_directories(Folder);
  const fs::path File = Folder / "conf.ini";
  std::ofstream(File) << "[Main]\nstrOutput=/old\n";
  fs::permissions(Folder, fs::perms::owner_read | fs::perms::owner_exec);
  TIniFile Ini;
  ASSERT_TRUE(Ini.Load(File.string()));
  Ini.SetValue("Main", "strOutput", "/new");
  EXPECT_TRUE(Ini.Save(File.string()));
  TIniFile Back;
  ASSERT_TRUE(Back.Load(File.string()));
  EXPECT_EQ(Back.Value("Main", "strOutput"), "/new");
  fs::permissions(Folder, fs::perms::owner_all);
  fs::remove_all(Folder);
}

} // namespace
} // namespace pelorix
