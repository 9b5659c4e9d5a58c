// pelorix-convert in long batches: sources from lists and folders, JSON lines, output names that
// follow from the source's path alone, SIGTERM and a time limit, with real conversions.
#include "ConvertTestSupport.h"
#include "MediaFacts.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <set>

namespace pelorix {
namespace {

using test::TConvertCommandTest;
using test::TProgramRun;
using TJson = nlohmann::json;
namespace fs = std::filesystem;

void WriteText(const fs::path& APath, const std::string& AText) {
  fs::create_directories(APath.parent_path());
  std::ofstream(APath, std::ios::binary) << AText;
}

// The program's output, every line a JSON object.
std::vector<TJson> JsonLines(const std::vector<std::string>& ALines) {
  std::vector<TJson> Objects;
  for (const std::string& Line : ALines) Objects.push_back(TJson::parse(Line));
  return Objects;
}

using TBatchCommandTest = TConvertCommandTest;

// FILE arguments, a list file (lines ending in CR LF, a blank line) and a walked folder make
// one batch in that order. A walk goes through every level in name order and takes media files
// only: a photo, a text file and a file of no format are left out, where a named file that is no
// media is reported.
TEST_F(TBatchCommandTest, ArgumentsListsAndWalkedFoldersMakeOneBatchInOrder) {
  const std::string First = Copy("mono8k.wav", "first.wav");
  const std::string Listed = Copy("tone.mp3", "listed.mp3");
  const std::string Garbage = test::TestMedia("garbage.bin");
  WriteText(Dir / "list.txt", Listed + "\r\n\r\n" + Garbage + "\r\n");
  const std::string Deep = Copy("mono8k.wav", "in/a/z.wav");
  const std::string Top = Copy("tone.wav", "in/a.wav");
  const std::string Video = Copy("mpeg4_aac.3gp", "in/b/clip.3gp");
  Copy("photo.jpg", "in/a/photo.jpg");
  Copy("garbage.bin", "in/b/unknown.dat");
  WriteText(Dir / "in/b/notes.txt", "Holiday 2019\nClips from the lake.\n");

  TProgramRun Run({"-q", "--no-copy", "-f", "wav", "-o", Out(), First, "--from-file",
                   (Dir / "list.txt").string(), "--recursive", (Dir / "in").string()});
  EXPECT_EQ(Run.Wait(), 1); // the named garbage is skipped
  EXPECT_EQ(Run.Lines, (std::vector<std::string>{
                           "converted: " + First + " -> " + Out("first (WAV Audio).wav"),
                           "converted: " + Listed + " -> " + Out("listed (WAV Audio).wav"),
                           "skipped: " + Garbage + " (not a media file)",
                           "converted: " + Deep + " -> " + Out("z (WAV Audio).wav"),
                           "converted: " + Top + " -> " + Out("a (WAV Audio).wav"),
                           "converted: " + Video + " -> " + Out("clip (WAV Audio).wav"),
                       }));

  // NUL-separated names from standard input, one with a line feed in it.
  const std::string Odd = Copy("mono8k.wav", "two\nlines.wav");
  WriteText(Dir / "names", Odd + std::string(1, '\0') + First + std::string(1, '\0'));
  TProgramRun FromInput(PELORIX_CONVERT_PROGRAM,
                        {"-q", "-f", "flac", "-o", Out(), "--null", "--from-file", "-"},
                        {{}, 0, (Dir / "names").string(), "", false});
  EXPECT_EQ(FromInput.Wait(), 0);
  EXPECT_TRUE(fs::exists(Out("two\nlines (FLAC Audio).flac")));
  EXPECT_TRUE(fs::exists(Out("first (FLAC Audio).flac")));

  // A list that cannot be read is a usage error; nothing is converted.
  TProgramRun Missing(
      {"-q", "-f", "flac", "-o", Out("none"), "--from-file", (Dir / "no-such-list").string()});
  EXPECT_EQ(Missing.Wait(), 2);
  EXPECT_FALSE(fs::exists(Out("none")));
}

// Each file's line comes as it ends and says what a script needs; the summary closes the output
// and repeats the exit status. Names are escaped, and bytes that are no UTF-8 become U+FFFD.
TEST_F(TBatchCommandTest, JsonLinesTellEveryFileAndTheRun) {
  const std::string Clip = Copy("h264_aac.mp4", "clip \"one\"\t\xc3\xb6.mp4");
  const std::string Tone = Copy("tone.wav", "tone\xff.wav");
  const std::string Garbage = test::TestMedia("garbage.bin");
  TProgramRun Run({"--json", "-f", "mkv", "-o", Out(), Clip, Garbage, Tone});
  EXPECT_EQ(Run.Wait(), 1);
  const std::vector<TJson> Lines = JsonLines(Run.Lines);
  ASSERT_EQ(Lines.size(), 4u);

  const TJson& Video = Lines[0];
  EXPECT_EQ(Video["type"], "file");
  EXPECT_EQ(Video["source"], Clip);
  EXPECT_EQ(Video["output"], Out("clip \"one\"\t\xc3\xb6 (Matroska Video).mkv"));
  EXPECT_EQ(Video["outcome"], "converted");
  EXPECT_EQ(Video["reason"], "");
  EXPECT_EQ(Video["input_bytes"], fs::file_size(Clip));
  EXPECT_EQ(Video["output_bytes"],
            fs::file_size(Out("clip \"one\"\t\xc3\xb6 (Matroska Video).mkv")));
  // H.264 and AAC already fit Matroska: both are taken over unchanged.
  EXPECT_EQ(Video["streams"]["copied"], TJson({"video", "audio"}));
  EXPECT_EQ(Video["streams"]["encoded"], TJson::array());
  EXPECT_GT(Video["seconds"].get<double>(), 0);

  EXPECT_EQ(Lines[1]["source"], Garbage);
  EXPECT_EQ(Lines[1]["outcome"], "skipped");
  EXPECT_EQ(Lines[1]["reason"], "not a media file");
  EXPECT_TRUE(Lines[1]["output"].is_null());
  EXPECT_TRUE(Lines[1]["output_bytes"].is_null());

  EXPECT_EQ(Lines[2]["source"], (Dir / "tone\xef\xbf\xbd.wav").string());
  EXPECT_EQ(Lines[2]["outcome"], "converted");
  EXPECT_EQ(Lines[2]["streams"]["encoded"], TJson({"audio"}));
  EXPECT_TRUE(fs::exists(Out("tone\xff (Matroska Video).mkv")));

  const TJson& Summary = Lines[3];
  EXPECT_EQ(Summary["type"], "summary");
  EXPECT_EQ(Summary["files"], 3);
  EXPECT_EQ(Summary["converted"], 2);
  EXPECT_EQ(Summary["skipped"], 1);
  EXPECT_EQ(Summary["failed"], 0);
  EXPECT_EQ(Summary["exit_status"], 1);
  EXPECT_EQ(Summary["input_bytes"], fs::file_size(Clip) + fs::file_size(Tone));
  EXPECT_EQ(Summary["output_bytes"],
            Video["output_bytes"].get<int64_t>() + Lines[2]["output_bytes"].get<int64_t>());
}

// The output's path follows from the source's path alone: {dir} below --base, {name}, {ext} and
// {label}; two sources that would meet in one name are an error for the second, and a source
// outside the base fails.
TEST_F(TBatchCommandTest, NameTemplatesAndMirroredTreesNameOutputsFromTheSourcePath) {
  const std::string X = Copy("mono8k.wav", "in/x/clip.wav"), Y = Copy("tone.wav", "in/y/clip.wav"),
                    Mp3 = Copy("tone.mp3", "in/y/clip.mp3");
  const std::string Base = (Dir / "in").string();
  TProgramRun Mirror({"-q", "-f", "flac", "-o", Out(), "--mirror-tree", "--base", Base, X, Y});
  EXPECT_EQ(Mirror.Wait(), 0);
  EXPECT_EQ(Mirror.Lines, (std::vector<std::string>{
                              "converted: " + X + " -> " + Out("x/clip (FLAC Audio).flac"),
                              "converted: " + Y + " -> " + Out("y/clip (FLAC Audio).flac")}));
  EXPECT_EQ(test::ReadMediaFacts(Out("y/clip (FLAC Audio).flac")).Streams.at(0).Codec,
            AV_CODEC_ID_FLAC);

  TProgramRun Named({"-q", "-f", "flac", "-o", Out("named"), "--name-template",
                     "{dir}/{name}.{ext}", "--base", Base, Y, Mp3, X});
  EXPECT_EQ(Named.Wait(), 0);
  EXPECT_TRUE(fs::exists(Out("named/y/clip.wav.flac")));
  EXPECT_TRUE(fs::exists(Out("named/y/clip.mp3.flac")));
  EXPECT_TRUE(fs::exists(Out("named/x/clip.wav.flac")));

  TProgramRun Clash({"-q", "-f", "flac", "-o", Out("flat"), "--name-template", "{name}", X, Y});
  EXPECT_EQ(Clash.Wait(), 1);
  EXPECT_EQ(Clash.Lines,
            (std::vector<std::string>{"converted: " + X + " -> " + Out("flat/clip.flac"),
                                      "failed: " + Y + ": its output name is also " + X +
                                          "'s; --name-template can tell them apart"}));
  EXPECT_NEAR(test::ReadMediaFacts(Out("flat/clip.flac")).Duration(), 1.0, 0.05); // still X's

  TProgramRun Outside(
      {"-q", "-f", "flac", "-o", Out("outside"), "--mirror-tree", "--base", Base + "/x", Y});
  EXPECT_EQ(Outside.Wait(), 1);
  EXPECT_EQ(Outside.Lines, std::vector<std::string>{"failed: " + Y +
                                                    ": not below the base folder " + Base + "/x"});

  for (const char* Template : {"../{name}", "/tmp/{name}", "{name}{size}", "{name}/"}) {
    TProgramRun Bad({"-q", "-o", Out("bad"), "--name-template", Template, X});
    EXPECT_EQ(Bad.Wait(), 2) << Template;
  }
  EXPECT_FALSE(fs::exists(Out("bad")));
}

// SIGTERM, as a job scheduler sends it, is Ctrl-C: the running file ends complete, no other
// starts, and the run exits with 3. A time limit starts no file once it has passed but lets
// the running one finish.
TEST_F(TBatchCommandTest, SigtermAndTheTimeLimitStartNoMoreFiles) {
  const std::string A = Copy("h264_aac.mp4", "a.mp4"), B = Copy("h264_aac.mp4", "b.mp4"),
                    C = Copy("h264_aac.mp4", "c.mp4");
  {
    TProgramRun Run({"--realtime", "--no-copy", "-f", "mkv", "-o", Out(), A, B, C});
    ASSERT_TRUE(Run.ReadUntil("converting " + A));
    Run.Signal(SIGTERM);
    EXPECT_EQ(Run.Wait(), 3);
    EXPECT_EQ(std::vector<std::string>(Run.Lines.end() - 3, Run.Lines.end()),
              (std::vector<std::string>{"stopped: " + A + " -> " + Out("a (Matroska Video).mkv") +
                                            " (cut short)",
                                        "not started: " + B, "not started: " + C}));
  }
  // Each file takes its two seconds: the limit of 60 ms has passed when the first ends.
  TProgramRun Limited({"-q", "--realtime", "--no-copy", "--max-minutes", "0.001", "-f", "mkv", "-o",
                       Out("limited"), A, B, C});
  EXPECT_EQ(Limited.Wait(), 3);
  ASSERT_EQ(Limited.Lines.size(), 3u);
  EXPECT_TRUE(Limited.Lines[0] ==
                  "converted: " + A + " -> " + Out("limited/a (Matroska Video).mkv") ||
              Limited.Lines[0] == "not started: " + A)
      << Limited.Lines[0];
  EXPECT_EQ(Limited.Lines[1], "not started: " + B);
  EXPECT_EQ(Limited.Lines[2], "not started: " + C);
  EXPECT_FALSE(fs::exists(Out("limited/b (Matroska Video).mkv")));
}

} // namespace
} // namespace pelorix
