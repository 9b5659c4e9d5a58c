// What an output carries of its source beside the streams: the tags (the engine's own tag
// options still win), the front cover byte for byte where the container holds one, and the
// chapters on the output's clock. Real conversions of generated clips, read back.
#include "MediaFacts.h"
#include "MediaTestSupport.h"
#include "PlaybackChecks.h"

#include <cmath>
#include <filesystem>

namespace pelorix {
namespace {

using TSettings = std::vector<std::pair<std::string, std::string>>;

class TOutputMetadataTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir = std::filesystem::temp_directory_path() /
          ("pelorix-output-metadata-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::string Out(const std::string& AName) const { return (Dir / AName).string(); }

  // Converts AClip into AOutput: ABefore given before the input opens, AAfter after it.
  std::string Convert(const std::string& AClip, const TSettings& AAfter, const std::string& AOutput,
                      const TSettings& ABefore = {}) {
    TCustomFFmpeg Engine;
    Engine.Reset();
    for (const auto& [Name, Value] : ABefore) Engine.SetOption(Name, Value);
    const std::string Input = AClip.starts_with("/") ? AClip : test::TestMedia(AClip);
    if (!Engine.OpenInputFile(Input)) return "input: " + Engine.LastErrorText();
    for (const auto& [Name, Value] : AAfter) Engine.SetOption(Name, Value);
    if (!Engine.OpenOutputFile(Out(AOutput))) return "output: " + Engine.LastErrorText();
    Engine.Start(false, TConvertPriority::tpNormal);
    return Engine.ErrorOccurred() ? Engine.ErrorMessage() : std::string();
  }

  std::filesystem::path Dir;
};

TEST_F(TOutputMetadataTest, TagsAreCarriedAndTheEnginesOwnOptionsWin) {
  ASSERT_EQ(Convert("tagged.flac", {{"title", "Own Title"}, {"album", "Own Album"}}, "own.mp3"),
            "");
  const test::TFileTags Source = test::ReadFileTags(test::TestMedia("tagged.flac"));
  const test::TFileTags Output = test::ReadFileTags(Out("own.mp3"));
  EXPECT_EQ(Output.Tags.at("title"), "Own Title");
  EXPECT_EQ(Output.Tags.at("album"), "Own Album");
  for (const char* Carried :
       {"artist", "album_artist", "track", "disc", "date", "genre", "comment", "composer"})
    EXPECT_EQ(Output.Tags.at(Carried), Source.Tags.at(Carried)) << Carried;
  // Ogg keeps them with its stream: from there too.
  ASSERT_EQ(Convert("tagged.flac", {}, "track.ogg"), "");
  ASSERT_EQ(Convert(Out("track.ogg"), {}, "again.mp3"), "");
  const test::TFileTags Again = test::ReadFileTags(Out("again.mp3"));
  for (const char* Carried : {"title", "artist", "track", "composer"})
    EXPECT_EQ(Again.Tags.at(Carried), Source.Tags.at(Carried)) << Carried;
}

// MP3, M4A and FLAC hold the front cover: the same bytes, marked as the cover and never a
// picture stream, also when video is switched off ("vn", as the audio entries do). Ogg holds
// none and goes without. A limit ("t") still ends the run although the cover, written first,
// stays at the start.
TEST_F(TOutputMetadataTest, FrontCoverIsCopiedWhereTheContainerHoldsOne) {
  const std::string Cover = test::ReadFileTags(test::TestMedia("tagged.mp3")).Cover;
  ASSERT_GT(Cover.size(), 100u);
  for (const char* Name : {"cover.mp3", "cover.m4a", "cover.flac"}) {
    SCOPED_TRACE(Name);
    ASSERT_EQ(Convert("tagged.mp3", {{"vn", ""}, {"t", "0.5"}}, Name), "");
    const test::TFileTags Output = test::ReadFileTags(Out(Name));
    EXPECT_EQ(Output.Cover, Cover);
    EXPECT_EQ(Output.PictureStreams, 0);
    EXPECT_LT(test::ReadMediaFacts(Out(Name)).Streams.at(0).Duration, 0.7); // of 1 s
  }
  ASSERT_EQ(Convert("tagged.mp3", {{"vn", ""}}, "none.ogg"), "");
  const test::TFileTags Ogg = test::ReadFileTags(Out("none.ogg"));
  EXPECT_EQ(Ogg.Cover, "");
  EXPECT_EQ(test::ReadMediaFacts(Out("none.ogg")).Streams.size(), 1u);
}

TEST_F(TOutputMetadataTest, ChaptersFollowTheOutputsClock) {
  // In milliseconds, as both containers count them.
  using TChapters = std::vector<std::tuple<long, long, std::string>>;
  const auto ChaptersOf = [](const std::string& AFile) {
    TChapters Chapters;
    for (const auto& Chapter : test::ReadFileTags(AFile).Chapters)
      Chapters.emplace_back(std::lround(Chapter.Start * 1000), std::lround(Chapter.End * 1000),
                            Chapter.Title);
    return Chapters;
  };
  for (const char* Name : {"whole.mkv", "whole.mp4"}) {
    ASSERT_EQ(Convert("chapters.mkv", {{"vcodec", "mpeg4"}}, Name), "");
    EXPECT_EQ(ChaptersOf(Out(Name)),
              (TChapters{{0, 400, "Opening"}, {400, 1200, "Middle"}, {1200, 2000, "End"}}))
        << Name;
  }
  // From 0.5 s for 1 s: the first chapter is gone, the others move and the last is cut.
  ASSERT_EQ(Convert("chapters.mkv", {{"vcodec", "mpeg4"}, {"t", "1"}}, "part.mkv", {{"ss", "0.5"}}),
            "");
  EXPECT_EQ(ChaptersOf(Out("part.mkv")), (TChapters{{0, 700, "Middle"}, {700, 1000, "End"}}));
  EXPECT_EQ(test::ReadFileTags(Out("part.mkv")).Tags.at("title"), "Pelorix Film");
}

} // namespace
} // namespace pelorix
