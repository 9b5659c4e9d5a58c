// pelorix-convert as a user runs it: usage errors, the format list, output names, the result
// lines and exit statuses, several files at once and Ctrl-C, with real conversions.
#include "ConvertTestSupport.h"
#include "DecodedVideo.h"
#include "MediaFacts.h"
#include "PlaybackChecks.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

// The names in AFolder, hidden ones (starting with a dot) apart from the others.
struct TFolderNames {
  std::vector<std::string> Shown, Hidden;
};
TFolderNames FolderNames(const fs::path& AFolder) {
  TFolderNames Names;
  std::error_code Error;
  for (const auto& Entry : fs::directory_iterator(AFolder, Error)) {
    const std::string Name = Entry.path().filename().string();
    (Name[0] == '.' ? Names.Hidden : Names.Shown).push_back(Name);
  }
  std::sort(Names.Shown.begin(), Names.Shown.end());
  return Names;
}

// Waits, up to a minute, until AHolds is true.
bool WaitFor(const std::function<bool()>& AHolds) {
  for (int Turn = 0; Turn < 6000; ++Turn) {
    if (AHolds()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

using test::TConvertCommandTest;
using test::TProgramRun;

TEST_F(TConvertCommandTest, UsageErrorsExitWithTwoAndConvertNothing) {
  const std::string Clip = test::TestMedia("mpeg4_aac.3gp");
  const std::vector<std::vector<std::string>> Cases = {
      {},
      {"-q"},
      {"-f", "mpeg", "-o", Out(), Clip},
      {"-f"},
      {"-j", "0", "-o", Out(), Clip},
      {"-j", "two", "-o", Out(), Clip},
      {"-o", Out(), "--same-folder", Clip},
      {"--bogus", "-o", Out(), Clip},
      {"--quality", "best", "-o", Out(), Clip},
      {"-o", Out(), Clip, "--quality"},
  };
  for (const auto& Arguments : Cases) {
    TProgramRun Run(Arguments);
    EXPECT_EQ(Run.Wait(), 2) << testing::PrintToString(Arguments);
  }
  EXPECT_FALSE(fs::exists(Out()));
}

TEST_F(TConvertCommandTest, FormatListShowsEveryEntryInOrder) {
  TProgramRun Run({"--list-formats"});
  EXPECT_EQ(Run.Wait(), 0);
  ASSERT_EQ(Run.Lines.size(), 12u);
  EXPECT_EQ(Run.Lines[0].rfind("avi    XviD Video (*.avi)", 0), 0u) << Run.Lines[0];
  EXPECT_EQ(Run.Lines[1].rfind("mp4    MP4 Video (*.mp4)", 0), 0u) << Run.Lines[1];
  EXPECT_EQ(Run.Lines[11].rfind("ogg    Ogg Vorbis Audio (*.ogg)", 0), 0u) << Run.Lines[11];
}

TEST_F(TConvertCommandTest, Mp4OfAPhoneClipHasH264AndAacAndASecondRunNumbersTheName) {
  const std::string Clip = test::TestMedia("mpeg4_aac.3gp");
  {
    TProgramRun Run({"-f", "mp4", "-o", Out(), Clip});
    EXPECT_EQ(Run.Wait(), 0);
    // The phone clip's AAC already fits the entry: only its video is encoded again.
    EXPECT_EQ(Run.Lines.back(),
              "converted: " + Clip + " -> " + Out("mpeg4_aac (MP4 Video).mp4") + " (audio copied)");
  }
  const test::TMediaFacts Facts = test::ReadMediaFacts(Out("mpeg4_aac (MP4 Video).mp4"));
  ASSERT_EQ(Facts.Streams.size(), 2u);
  EXPECT_EQ(Facts.Streams[0].Codec, AV_CODEC_ID_H264);
  EXPECT_EQ(Facts.Streams[0].Width, 176);
  EXPECT_NEAR(Facts.Streams[0].Duration, 2.0, 0.1);
  EXPECT_EQ(Facts.Streams[1].Codec, AV_CODEC_ID_AAC);
  EXPECT_EQ(Facts.Streams[1].Channels, 1);

  TProgramRun Again({"-q", "-f", "MP4 Video", "-o", Out(), Clip});
  EXPECT_EQ(Again.Wait(), 0);
  EXPECT_EQ(Again.Lines,
            std::vector<std::string>{"converted: " + Clip + " -> " +
                                     Out("mpeg4_aac (MP4 Video [1]).mp4") + " (audio copied)"});
}

TEST_F(TConvertCommandTest, SkippedAndFailedFilesAreReportedAndTheRunExitsWithOne) {
  const std::string Good = Copy("tone.wav", "tone.wav");
  const std::string Garbage = test::TestMedia("garbage.bin");
  const std::string Missing = (Dir / "missing.mp4").string();
  TProgramRun Run({"-q", "--same-folder", Garbage, Good, Missing}); // default format: XviD
  EXPECT_EQ(Run.Wait(), 1);
  EXPECT_EQ(Run.Lines, (std::vector<std::string>{"skipped: " + Garbage + " (not a media file)",
                                                 "converted: " + Good + " -> " +
                                                     (Dir / "tone (XviD Video).avi").string(),
                                                 "skipped: " + Missing + " (not a media file)"}));
  const test::TMediaFacts Facts = test::ReadMediaFacts((Dir / "tone (XviD Video).avi").string());
  ASSERT_EQ(Facts.Streams.size(), 1u); // a WAV source gets no video
  EXPECT_EQ(Facts.Streams[0].Codec, AV_CODEC_ID_MP3);

  // An output folder below a file cannot be made: the output fails with the reason.
  std::ofstream(Dir / "file") << "x";
  TProgramRun Unwritable({"-q", "-o", (Dir / "file" / "sub").string(), Good});
  EXPECT_EQ(Unwritable.Wait(), 1);
  ASSERT_EQ(Unwritable.Lines.size(), 1u);
  EXPECT_EQ(Unwritable.Lines[0], "failed: " + Good + ": Could not open '" +
                                     (Dir / "file/sub/tone (XviD Video).avi").string() +
                                     "': Not a directory");
}

// What users bring most: a phone clip filmed upright, an album track with its tags and cover,
// a camera's field-coded clip. Each comes out the way it plays.
TEST_F(TConvertCommandTest, PhoneClipAlbumTrackAndCameraClipComeOutAsTheyPlay) {
  const std::string Phone = test::TestMedia("rotate90.mp4"), Track = test::TestMedia("tagged.flac"),
                    Camera = test::TestMedia("interlaced.mkv");
  TProgramRun Video({"-q", "-f", "mp4", "-o", Out(), Phone, Camera});
  EXPECT_EQ(Video.Wait(), 0);
  TProgramRun Audio({"-q", "-f", "mp3", "-o", Out(), Track});
  EXPECT_EQ(Audio.Wait(), 0);

  const test::TDecodedVideo Upright = test::DecodeVideo(Out("rotate90 (MP4 Video).mp4"), 1);
  ASSERT_EQ(Upright.Pictures.size(), 1u);
  EXPECT_EQ(Upright.Pictures[0].Height, 160);
  EXPECT_EQ(test::BrightCorner(Upright.Pictures[0]), 1);

  const test::TFileTags Source = test::ReadFileTags(Track);
  test::TFileTags Tagged = test::ReadFileTags(Out("tagged (MP3 Audio).mp3"));
  EXPECT_EQ(Tagged.Tags["title"], "Pelorix Sång");
  EXPECT_EQ(Tagged.Tags["artist"], "The Testers");
  EXPECT_EQ(Tagged.Cover, Source.Cover);

  const double Combed = test::MeanCombEnergy(test::DecodeVideo(Camera));
  EXPECT_LT(test::MeanCombEnergy(test::DecodeVideo(Out("interlaced (MP4 Video).mp4"))),
            Combed * 0.2);
}

TEST_F(TConvertCommandTest, WithoutAFolderTheOutputGoesToTheDefaultInHome) {
  if (fs::exists(fs::path(PELORIX_CONVERT_PROGRAM).parent_path() / "conf.ini"))
    GTEST_SKIP() << "a conf.ini beside the program decides the folder";
  const std::string Clip = test::TestMedia("mono8k.wav");
  TProgramRun Run({"-q", "-f", "flac", Clip}, {{"HOME", Dir.string()}});
  EXPECT_EQ(Run.Wait(), 0);
  EXPECT_TRUE(fs::exists(Dir / "orvaneVideo" / "mono8k (FLAC Audio).flac"));
}

TEST_F(TConvertCommandTest, TwoJobsConvertTwoFilesAtOnce) {
  const std::string A = Copy("mpeg4_aac.3gp", "a.3gp"), B = Copy("mpeg4_aac.3gp", "b.3gp");
  // At playing speed each file takes its 2 s: the second starts long before the first ends.
  TProgramRun Run({"--realtime", "-j", "2", "-f", "3gp", "-o", Out(), A, B});
  EXPECT_EQ(Run.Wait(), 0);
  std::vector<std::string> Events;
  for (const std::string& Line : Run.Lines)
    if (Line.rfind("converting ", 0) == 0 || Line.rfind("ended ", 0) == 0)
      Events.push_back(Line.substr(0, Line.find(' ')));
  EXPECT_EQ(Events, (std::vector<std::string>{"converting", "converting", "ended", "ended"}));
  EXPECT_TRUE(fs::exists(Out("a (3GP Phone Video).3gp")));
  EXPECT_TRUE(fs::exists(Out("b (3GP Phone Video).3gp")));
}

TEST_F(TConvertCommandTest, CtrlCFinishesTheRunningFileAndStartsNoOther) {
  const std::string A = Copy("h264_aac.mp4", "a.mp4"), B = Copy("h264_aac.mp4", "b.mp4"),
                    C = Copy("h264_aac.mp4", "c.mp4");
  TProgramRun Run({"--realtime", "-f", "mkv", "-o", Out(), A, B, C});
  ASSERT_TRUE(Run.ReadUntil("converting " + A));
  Run.Signal(SIGINT);
  EXPECT_EQ(Run.Wait(), 3);
  const std::string First = Out("a (Matroska Video).mkv");
  EXPECT_EQ(std::vector<std::string>(Run.Lines.end() - 3, Run.Lines.end()),
            (std::vector<std::string>{"stopped: " + A + " -> " + First + " (cut short)",
                                      "not started: " + B, "not started: " + C}));
  // The stopped file is complete: both streams, every packet readable, shorter than the source.
  const test::TMediaFacts Facts = test::ReadMediaFacts(First);
  ASSERT_TRUE(Facts.Opened);
  ASSERT_EQ(Facts.Streams.size(), 2u);
  EXPECT_GT(Facts.Streams[0].Packets, 0);
  EXPECT_LT(Facts.Duration(), 2.0);
  EXPECT_FALSE(fs::exists(Out("b (Matroska Video).mkv")));
  EXPECT_FALSE(fs::exists(Out("c (Matroska Video).mkv")));
}

// An H.264 + AAC clip already is what the Matroska entry writes: both streams go over as they
// are, the pictures decode as the source's; asked not to, or for a smaller file, it encodes.
TEST_F(TConvertCommandTest, StreamsThatFitAreCopiedUnlessTurnedOffOrASmallerFileIsAsked) {
  const std::string Clip = test::TestMedia("h264_aac.mp4");
  TProgramRun Copied({"-q", "-f", "mkv", "-o", Out(), Clip});
  EXPECT_EQ(Copied.Wait(), 0);
  const std::string CopyName = Out("h264_aac (Matroska Video).mkv");
  EXPECT_EQ(Copied.Lines, std::vector<std::string>{"converted: " + Clip + " -> " + CopyName +
                                                   " (video and audio copied)"});
  const auto Source = test::DecodeVideo(Clip).Pictures;
  const auto Copy = test::DecodeVideo(CopyName).Pictures;
  ASSERT_EQ(Copy.size(), 50u);
  ASSERT_EQ(Copy.size(), Source.size());
  for (size_t I = 0; I < Copy.size(); ++I) EXPECT_TRUE(Copy[I].Planes == Source[I].Planes) << I;

  for (const std::vector<std::string>& Arguments :
       {std::vector<std::string>{"--no-copy"}, std::vector<std::string>{"--quality", "smaller"}}) {
    std::vector<std::string> Full = Arguments;
    Full.insert(Full.end(), {"-q", "-f", "mkv", "-o", Out(), Clip});
    TProgramRun Encoded(Full);
    EXPECT_EQ(Encoded.Wait(), 0);
    ASSERT_EQ(Encoded.Lines.size(), 1u);
    EXPECT_EQ(Encoded.Lines[0].find("copied"), std::string::npos) << Encoded.Lines[0];
  }
}

// Every source is opened when its turn comes, not all of them at the add: a batch larger than
// the open-file limit converts whole.
TEST_F(TConvertCommandTest, ABatchOfMoreSourcesThanOpenFilesAllowedConvertsEveryFile) {
  std::vector<std::string> Arguments{"-q", "-f", "wav", "-o", Out()};
  for (int I = 0; I < 100; ++I)
    Arguments.push_back(Copy("mono8k.wav", "many/" + std::to_string(I) + ".wav"));
  TProgramRun Run(Arguments, {}, 64);
  EXPECT_EQ(Run.Wait(), 0);
  ASSERT_EQ(Run.Lines.size(), 100u);
  for (int I = 0; I < 100; ++I) {
    const std::string Output = Out(std::to_string(I) + " (WAV Audio).wav");
    EXPECT_EQ(Run.Lines[I], "converted: " + Arguments[5 + I] + " -> " + Output + " (audio copied)");
    EXPECT_GT(fs::file_size(Output), 8000u) << Output;
  }
}

// Ctrl-C while several files report at once: the program's own state is handed over from the
// converter's threads, never held while it stops the converter. Every file ends once.
TEST_F(TConvertCommandTest, CtrlCWhileManyFilesReportEndsEachFileOnce) {
  std::vector<std::string> Arguments{"--realtime", "-j", "6", "-f", "mkv", "-o", Out()};
  for (int I = 0; I < 12; ++I)
    Arguments.push_back(Copy("h264_aac.mp4", "clip" + std::to_string(I) + ".mp4"));
  TProgramRun Run(Arguments);
  int Converting = 0;
  std::string Line;
  while (Converting < 6 && Run.ReadLine(Line)) Converting += Line.rfind("converting ", 0) == 0;
  ASSERT_EQ(Converting, 6);
  Run.Signal(SIGINT);
  EXPECT_EQ(Run.Wait(), 3);
  ASSERT_GE(Run.Lines.size(), 12u);
  const std::vector<std::string> Results(Run.Lines.end() - 12, Run.Lines.end());
  int Stopped = 0, NotStarted = 0;
  for (int I = 0; I < 12; ++I) {
    const std::string& Source = Arguments[7 + I];
    const std::string& Result = Results[I];
    if (Result == "not started: " + Source) {
      ++NotStarted;
      EXPECT_FALSE(fs::exists(Out("clip" + std::to_string(I) + " (Matroska Video).mkv")));
    } else {
      ++Stopped;
      EXPECT_TRUE(Result.rfind("stopped: " + Source + " -> ", 0) == 0 ||
                  Result.rfind("converted: " + Source + " -> ", 0) == 0)
          << Result;
    }
  }
  EXPECT_EQ(Stopped, 6);
  EXPECT_EQ(NotStarted, 6);
}

// Two batches into one folder: every output once, whole, under a name of its own. The first
// run has chosen its name (its temporary file is there) when the second takes that name; the
// first then takes the next number (it is held still meanwhile, so that the order does not
// depend on how fast the machine is). Then two runs over the same sources at once.
TEST_F(TConvertCommandTest, TwoRunsIntoOneFolderWriteEveryOutputOnceAndWhole) {
  const std::string A = Copy("mpeg4_aac.3gp", "a.3gp"), B = Copy("mpeg4_aac.3gp", "b.3gp"),
                    C = Copy("mpeg4_aac.3gp", "c.3gp");
  fs::create_directories(Out());
  TProgramRun Slow({"-q", "--no-copy", "--realtime", "-f", "3gp", "-o", Out(), A});
  ASSERT_TRUE(WaitFor([&] { return !FolderNames(Out()).Hidden.empty(); }));
  Slow.Signal(SIGSTOP);
  TProgramRun Fast({"-q", "--no-copy", "-f", "3gp", "-o", Out(), A, B, C});
  EXPECT_EQ(Fast.Wait(), 0);
  Slow.Signal(SIGCONT);
  EXPECT_EQ(Slow.Wait(), 0);
  EXPECT_EQ(Fast.Lines[0], "converted: " + A + " -> " + Out("a (3GP Phone Video).3gp"));
  EXPECT_EQ(Slow.Lines, std::vector<std::string>{"converted: " + A + " -> " +
                                                 Out("a (3GP Phone Video [1]).3gp")});

  TProgramRun First({"-q", "--no-copy", "-j", "2", "-f", "3gp", "-o", Out(), A, B, C});
  TProgramRun Second({"-q", "--no-copy", "-j", "2", "-f", "3gp", "-o", Out(), A, B, C});
  EXPECT_EQ(First.Wait(), 0);
  EXPECT_EQ(Second.Wait(), 0);

  std::set<std::string> Outputs;
  for (const TProgramRun* Run : {&Slow, &Fast, &First, &Second})
    for (const std::string& Line : Run->Lines) {
      ASSERT_EQ(Line.rfind("converted: ", 0), 0u) << Line;
      Outputs.insert(Line.substr(Line.find(" -> ") + 4));
    }
  EXPECT_EQ(Outputs.size(), 10u);
  const TFolderNames Names = FolderNames(Out());
  EXPECT_EQ(Names.Shown.size(), 10u);
  EXPECT_TRUE(Names.Hidden.empty());
  for (const std::string& Output : Outputs) {
    const test::TMediaFacts Facts = test::ReadMediaFacts(Output);
    ASSERT_EQ(Facts.Streams.size(), 2u) << Output;
    EXPECT_NEAR(Facts.Duration(), 2.0, 0.15) << Output;
  }
}

// A killed batch leaves no file under a final name, only its hidden temporary file, which the
// next run into the folder clears.
TEST_F(TConvertCommandTest, AKilledBatchLeavesNoOutputAndTheNextRunClearsItsFile) {
  const std::string A = Copy("mpeg4_aac.3gp", "a.3gp"), B = Copy("mpeg4_aac.3gp", "b.3gp");
  fs::create_directories(Out());
  TProgramRun Killed({"-q", "--realtime", "-f", "3gp", "-o", Out(), A, B});
  ASSERT_TRUE(WaitFor([&] {
    for (const auto& Entry : fs::directory_iterator(Out()))
      if (Entry.path().filename().string()[0] == '.' && Entry.file_size() > 0) return true;
    return false;
  }));
  Killed.Signal(SIGKILL);
  EXPECT_EQ(Killed.Wait(), 128 + SIGKILL);
  TFolderNames Names = FolderNames(Out());
  EXPECT_TRUE(Names.Shown.empty());
  EXPECT_EQ(Names.Hidden.size(), 1u);

  TProgramRun Next({"-q", "-f", "3gp", "-o", Out(), B});
  EXPECT_EQ(Next.Wait(), 0);
  Names = FolderNames(Out());
  EXPECT_EQ(Names.Shown, std::vector<std::string>{"b (3GP Phone Video).3gp"});
  EXPECT_TRUE(Names.Hidden.empty());
}

// A source cut short while it converts is a failure: its output goes, unless kept on request,
// and then under its own name.
TEST_F(TConvertCommandTest, ASourceCutShortWhileItConvertsIsIncompleteAndGoesUnlessKept) {
  for (const bool Keep : {false, true}) {
    const std::string Name = Keep ? "kept" : "gone";
    const std::string Source = Copy("mpeg4_mp3.avi", Name + ".avi"); // 2 s, 127 KB
    std::vector<std::string> Arguments{"--realtime", "-f", "mkv", "-o", Out(), Source};
    if (Keep) Arguments.insert(Arguments.begin(), "--keep-partial");
    TProgramRun Run(Arguments);
    // Read at its playing pace, the run is in its first second here.
    ASSERT_TRUE(Run.ReadUntil("converting " + Source));
    ASSERT_EQ(::truncate(Source.c_str(), 10000), 0);
    EXPECT_EQ(Run.Wait(), 1);
    const std::string Output = Out(Name + " (Matroska Video).mkv");
    const std::string Start = "incomplete: " + Source + (Keep ? " -> " + Output : "") +
                              " (the source changed while it was converted: the output holds ";
    ASSERT_FALSE(Run.Lines.empty());
    EXPECT_EQ(Run.Lines.back().rfind(Start, 0), 0u) << Run.Lines.back();
    EXPECT_EQ(fs::exists(Output), Keep);
  }
}

} // namespace
} // namespace pelorix
