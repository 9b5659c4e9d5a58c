// Whole runs by stream copy: sources chosen for every output, maps, limits, stop, progress and
// the report, several engines at once, and damaged inputs.
#include "EngineInternals.h"
#include "MediaFacts.h"
#include "MediaTestSupport.h"

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <regex>

namespace pelorix {
namespace {

using test::ReadMediaFacts;
using test::TestMedia;
using test::TMediaFacts;

struct TProgress {
  int FrameNumber, Fps, CurrentDuration;
  float Quality;
  int64_t Size;
  int TotalDuration;
};

class TTranscodeTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir = std::filesystem::temp_directory_path() /
          ("pelorix-transcode-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
    Engine.Reset();
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::string Out(const std::string& AName) { return (Dir / AName).string(); }

  void CopyAll() {
    Engine.SetOption("vcodec", "copy");
    Engine.SetOption("acodec", "copy");
    Engine.SetOption("scodec", "copy");
  }
  void Input(const std::string& AName) {
    ASSERT_TRUE(Engine.OpenInputFile(TestMedia(AName))) << Engine.LastErrorText();
  }
  void Output(const std::string& AName) {
    ASSERT_TRUE(Engine.OpenOutputFile(Out(AName))) << Engine.LastErrorText();
  }
  void RecordProgress() {
    Engine.SetProgressCallback([this](TCustomFFmpeg&, int AFrame, int AFps, int ATime,
                                      float AQuality, float, int64_t ASize, int ATotal) {
      Progress.push_back({AFrame, AFps, ATime, AQuality, ASize, ATotal});
    });
  }
  // Runs on this thread; the run's error, if any.
  std::string RunToEnd() {
    Engine.Start(false, TConvertPriority::tpNormal);
    EXPECT_TRUE(Internals(Engine).Run.Ended);
    return Engine.ErrorOccurred() ? Engine.ErrorMessage() : std::string();
  }

  // Runs both engines on their own threads at once, until both have ended.
  static bool RunAtOnce(TCustomFFmpeg& AFirst, test::TEngineRecorder& AFirstRecorder,
                        TCustomFFmpeg& ASecond, test::TEngineRecorder& ASecondRecorder) {
    auto First = AFirst.Start(true, TConvertPriority::tpLower);
    auto Second = ASecond.Start(true, TConvertPriority::tpLower);
    if (!First || !Second) return false;
    First->Resume();
    Second->Resume();
    const bool Ended = AFirstRecorder.WaitForTermination() && ASecondRecorder.WaitForTermination();
    First->WaitFor();
    Second->WaitFor();
    return Ended;
  }

  std::filesystem::path Dir;
  TCustomFFmpeg Engine;
  std::vector<TProgress> Progress;
};

struct TCopyCase {
  const char* Input;
  const char* Output;
};

class TStreamCopyTest : public TTranscodeTest, public ::testing::WithParamInterface<TCopyCase> {};

TEST_P(TStreamCopyTest, KeepsStreamsAndDuration) {
  CopyAll();
  Input(GetParam().Input);
  Output(GetParam().Output);
  ASSERT_EQ(RunToEnd(), "");
  EXPECT_TRUE(Engine.Finished());
  const TMediaFacts Source = ReadMediaFacts(TestMedia(GetParam().Input));
  const TMediaFacts Copy = ReadMediaFacts(Out(GetParam().Output));
  ASSERT_TRUE(Copy.Opened);
  ASSERT_EQ(Copy.Streams.size(), 2u);
  for (size_t I = 0; I < Copy.Streams.size(); ++I) {
    EXPECT_EQ(Copy.Streams[I].Kind, Source.Streams[I].Kind);
    EXPECT_EQ(Copy.Streams[I].Codec, Source.Streams[I].Codec);
    EXPECT_EQ(Copy.Streams[I].Packets, Source.Streams[I].Packets);
    EXPECT_NEAR(Copy.Streams[I].Duration, Source.Streams[I].Duration, 0.05);
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, TStreamCopyTest,
                         ::testing::Values(TCopyCase{"h264_aac.mp4", "out.mkv"},
                                           TCopyCase{"mpeg4_aac.3gp", "out.mp4"},
                                           TCopyCase{"mpeg4_mp3.avi", "out.mkv"}));

TEST_F(TTranscodeTest, CopyStartsAtTheFirstKeyFrame) {
  CopyAll();
  Input("nokey_start.ts");
  Output("out.mkv");
  ASSERT_EQ(RunToEnd(), "");
  const TMediaFacts Source = ReadMediaFacts(TestMedia("nokey_start.ts"));
  const TMediaFacts Copy = ReadMediaFacts(Out("out.mkv"));
  ASSERT_FALSE(Source.Streams[0].FirstPacketKey);
  ASSERT_EQ(Copy.Streams.size(), 1u);
  EXPECT_TRUE(Copy.Streams[0].FirstPacketKey);
  EXPECT_EQ(Copy.Streams[0].Packets, Source.Streams[0].Packets - 8); // 8 before the key frame
}

TEST_F(TTranscodeTest, MapsChooseTheSources) {
  CopyAll();
  Input("multi.mkv");
  Engine.SetOption("map", "0.2"); // the second audio stream, "ger"
  Engine.SetOption("vn", "");
  Engine.SetOption("sn", "");
  Output("out.mka");
  ASSERT_EQ(RunToEnd(), "");
  const TMediaFacts Copy = ReadMediaFacts(Out("out.mka"));
  ASSERT_EQ(Copy.Streams.size(), 1u);
  EXPECT_EQ(Copy.Streams[0].Channels, 1); // the mono one
}

TEST_F(TTranscodeTest, MapFailuresNameWhatIsWrong) {
  struct TCase {
    std::vector<std::string> Maps;
    std::string Message;
  };
  const TCase Cases[] = {
      {{"0.0"}, "Number of stream maps must match number of output streams"},
      {{"0.5", "0.1"}, "Could not find input stream #0.5"},
      {{"0.0", "0.1:1.0"}, "Could not find sync stream #1.0"},
      {{"0.1", "0.0"}, "Codec type mismatch for mapping #0.1 -> #0.0"},
  };
  for (const TCase& Case : Cases) {
    TCustomFFmpeg Engine;
    Engine.Reset();
    Engine.SetOption("vcodec", "copy");
    Engine.SetOption("acodec", "copy");
    ASSERT_TRUE(Engine.OpenInputFile(TestMedia("h264_aac.mp4")));
    for (const std::string& Map : Case.Maps) Engine.SetOption("map", Map);
    ASSERT_TRUE(Engine.OpenOutputFile(Out("maps.mkv")));
    test::TEngineRecorder Recorder(Engine);
    Engine.Start(false, TConvertPriority::tpNormal);
    EXPECT_TRUE(Engine.ErrorOccurred());
    EXPECT_EQ(Engine.ErrorMessage(), Case.Message);
    EXPECT_EQ(Recorder.LogLines().back(), (test::TLogLine{-1, Case.Message}));
    EXPECT_EQ(Recorder.TerminationCount(), 1);
    EXPECT_FALSE(std::filesystem::exists(Out("maps.mkv"))); // nothing written: removed
  }
}

TEST_F(TTranscodeTest, ProgramWithoutAMatchingStreamFails) {
  CopyAll();
  Engine.SetOption("programid", "7");
  Input("two_programs.ts");
  Output("out.mkv");
  EXPECT_EQ(RunToEnd(), "Could not find input stream matching output stream #0.0");
}

TEST_F(TTranscodeTest, ProgramIdPicksItsStreams) {
  CopyAll();
  Engine.SetOption("programid", "2");
  Input("two_programs.ts");
  Output("out.mkv");
  ASSERT_EQ(RunToEnd(), "");
  const TMediaFacts Copy = ReadMediaFacts(Out("out.mkv"));
  ASSERT_EQ(Copy.Streams.size(), 2u);
  EXPECT_EQ(Copy.Streams[0].Codec, AV_CODEC_ID_H264);
  EXPECT_EQ(Copy.Streams[1].Codec, AV_CODEC_ID_AAC);
}

TEST_F(TTranscodeTest, OneInputFeedsTwoOutputs) {
  CopyAll();
  Input("mpeg4_mp3.avi");
  Output("first.mkv");
  CopyAll();
  Output("second.avi");
  ASSERT_EQ(RunToEnd(), "");
  for (const char* Name : {"first.mkv", "second.avi"}) {
    const TMediaFacts Copy = ReadMediaFacts(Out(Name));
    ASSERT_EQ(Copy.Streams.size(), 2u) << Name;
    EXPECT_NEAR(Copy.Duration(), 2.0, 0.1) << Name;
  }
}

TEST_F(TTranscodeTest, LimitsEndTheRun) {
  CopyAll();
  Engine.SetOption("vframes", "10");
  Engine.SetOption("an", "");
  Input("mpeg4_mp3.avi");
  Output("frames.mkv");
  ASSERT_EQ(RunToEnd(), "");
  EXPECT_EQ(ReadMediaFacts(Out("frames.mkv")).Streams[0].Packets, 10);
  EXPECT_TRUE(Engine.Finished());

  TCustomFFmpeg Sized;
  Sized.Reset();
  Sized.SetOption("vcodec", "copy");
  Sized.SetOption("acodec", "copy");
  Sized.SetOption("fs", "20000");
  ASSERT_TRUE(Sized.OpenInputFile(TestMedia("mpeg4_mp3.avi")));
  ASSERT_TRUE(Sized.OpenOutputFile(Out("sized.avi")));
  Sized.Start(false, TConvertPriority::tpNormal);
  const TMediaFacts Copy = ReadMediaFacts(Out("sized.avi"));
  ASSERT_TRUE(Copy.Opened);
  EXPECT_LT(Copy.Duration(), 1.0);
  EXPECT_LT(std::filesystem::file_size(Out("sized.avi")), 60000u);
}

TEST_F(TTranscodeTest, RecordingTimeEndsTheRunAndSetsTheTotal) {
  CopyAll();
  Engine.SetReportInterval(0);
  RecordProgress();
  Input("mpeg4_mp3.avi");
  Engine.SetOption("t", "1"); // an output setting: after the input, which set its own length
  Output("second.mkv");
  ASSERT_EQ(RunToEnd(), "");
  EXPECT_NEAR(ReadMediaFacts(Out("second.mkv")).Duration(), 1.0, 0.1);
  ASSERT_FALSE(Progress.empty());
  for (const TProgress& Report : Progress) EXPECT_EQ(Report.TotalDuration, 1000);
}

TEST_F(TTranscodeTest, StopEndsWithACompleteShorterFile) {
  CopyAll();
  Input("h264_aac.mp4");
  Output("stopped.mkv");
  test::TEngineRecorder Recorder(Engine);
  // The owner stops the run once 0.6 s of the file is written, however fast the machine is.
  std::mutex Lock;
  std::condition_variable Written;
  bool Far = false, Stopped = false;
  Engine.SetReportInterval(0);
  Engine.SetProgressCallback(
      [&](TCustomFFmpeg&, int, int, int ACurrentDuration, float, float, int64_t, int) {
        std::unique_lock Guard(Lock);
        if (ACurrentDuration < 600) return;
        Far = true;
        Written.notify_all();
        Written.wait(Guard, [&] { return Stopped; }); // the stop lands before the next packet
      });
  auto Thread = Engine.Start(true, TConvertPriority::tpNormal);
  ASSERT_NE(Thread, nullptr);
  Thread->Resume();
  bool Reached = false;
  {
    std::unique_lock Guard(Lock);
    Reached = Written.wait_for(Guard, std::chrono::seconds(60), [&] { return Far; });
    Engine.Stop();
    Stopped = true;
    Written.notify_all();
  }
  ASSERT_TRUE(Reached);
  ASSERT_TRUE(Recorder.WaitForTermination());
  Thread->WaitFor();
  EXPECT_FALSE(Engine.Finished());
  EXPECT_FALSE(Engine.ErrorOccurred());
  const TMediaFacts Copy = ReadMediaFacts(Out("stopped.mkv"));
  ASSERT_TRUE(Copy.Opened);
  ASSERT_EQ(Copy.Streams.size(), 2u);
  EXPECT_GT(Copy.Streams[0].Packets, 0);
  EXPECT_LT(Copy.Duration(), 1.8);
}

TEST_F(TTranscodeTest, ProgressOfACopy) {
  CopyAll();
  Engine.SetReportInterval(0); // a report after every packet
  RecordProgress();
  Input("mpeg4_mp3.avi");
  Output("out.mkv");
  ASSERT_EQ(RunToEnd(), "");
  ASSERT_GT(Progress.size(), 10u);
  int LastFrame = 0;
  for (const TProgress& Report : Progress) {
    EXPECT_FLOAT_EQ(Report.Quality, -1.0f);
    EXPECT_GE(Report.FrameNumber, LastFrame);
    EXPECT_NE(Report.TotalDuration, -1);
    LastFrame = Report.FrameNumber;
  }
  const TProgress& Last = Progress.back();
  EXPECT_EQ(Last.FrameNumber, 50);
  EXPECT_NEAR(Last.CurrentDuration, 2000, 100);
  EXPECT_NEAR(Last.TotalDuration, 2040, 50);
  EXPECT_EQ(Last.Size, static_cast<int64_t>(std::filesystem::file_size(Out("out.mkv"))));
}

TEST_F(TTranscodeTest, AudioOnlyReportsHaveNoFrames) {
  CopyAll();
  Engine.SetReportInterval(0);
  RecordProgress();
  Input("tone.mp3");
  Output("out.mka");
  ASSERT_EQ(RunToEnd(), "");
  ASSERT_FALSE(Progress.empty());
  for (const TProgress& Report : Progress) {
    EXPECT_EQ(Report.FrameNumber, -1);
    EXPECT_EQ(Report.Fps, -1);
    EXPECT_FLOAT_EQ(Report.Quality, -1.0f);
  }
}

TEST_F(TTranscodeTest, ReportLineAndSummaryWithoutProgressListener) {
  CopyAll();
  test::TEngineRecorder Recorder(Engine);
  Input("mpeg4_mp3.avi");
  Output("out.mkv");
  ASSERT_EQ(RunToEnd(), "");
  const std::vector<test::TLogLine> Lines = Recorder.LogLines();
  ASSERT_GE(Lines.size(), 2u);
  const std::regex Report(
      R"(frame=   50 fps=\s*\d+ q=-1\.0 Lsize=\s*\d+kB time=\d+\.\d\d bitrate=\s*\d+\.\dkbits/s)");
  EXPECT_TRUE(std::regex_match(Lines[Lines.size() - 2].Text, Report))
      << Lines[Lines.size() - 2].Text;
  const std::regex Summary(
      R"(video:\d+kB audio:\d+kB global headers:0kB muxing overhead -?\d+\.\d{6}%\r\n)");
  EXPECT_TRUE(std::regex_match(Lines.back().Text, Summary)) << Lines.back().Text;
  EXPECT_EQ(Lines.back().Level, 1);
}

TEST_F(TTranscodeTest, DvdTargetWritesWhatTheDiscNeeds) {
  Input("mpeg4_mp3.avi");
  Engine.SetOption("target", "pal-dvd");
  Output("disc.vob");
  ASSERT_EQ(RunToEnd(), "");
  const TMediaFacts Disc = ReadMediaFacts(Out("disc.vob"));
  const auto Find = [&Disc](AVMediaType AKind) {
    for (const test::TStreamFacts& Stream : Disc.Streams)
      if (Stream.Kind == AKind) return Stream;
    return test::TStreamFacts{};
  };
  const test::TStreamFacts Video = Find(AVMEDIA_TYPE_VIDEO); // beside it: the disc's navigation
  EXPECT_EQ(Video.Codec, AV_CODEC_ID_MPEG2VIDEO);
  EXPECT_EQ(Video.Width, 720);
  EXPECT_EQ(Video.Height, 576);
  EXPECT_EQ(Video.KeyPackets, (Video.Packets + 14) / 15); // a GOP of 15 pictures
  EXPECT_EQ(Find(AVMEDIA_TYPE_AUDIO).Codec, AV_CODEC_ID_AC3);
  EXPECT_EQ(Find(AVMEDIA_TYPE_AUDIO).SampleRate, 48000);
  EXPECT_NEAR(Disc.Duration(), 2.0, 0.1);
  EXPECT_EQ(std::filesystem::file_size(Out("disc.vob")) % 2048, 0u); // 2048-byte packs
}

TEST_F(TTranscodeTest, TwoEnginesRunAtOnce) {
  TCustomFFmpeg Second;
  Second.Reset();
  for (TCustomFFmpeg* E : {&Engine, &Second}) {
    E->SetOption("vcodec", "copy");
    E->SetOption("acodec", "copy");
  }
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("h264_aac.mp4")));
  ASSERT_TRUE(Engine.OpenOutputFile(Out("a.mkv")));
  ASSERT_TRUE(Second.OpenInputFile(TestMedia("mpeg4_mp3.avi")));
  ASSERT_TRUE(Second.OpenOutputFile(Out("b.mkv")));
  test::TEngineRecorder RecordFirst(Engine), RecordSecond(Second);
  ASSERT_TRUE(RunAtOnce(Engine, RecordFirst, Second, RecordSecond));
  EXPECT_TRUE(Engine.Finished());
  EXPECT_TRUE(Second.Finished());
  EXPECT_NEAR(ReadMediaFacts(Out("a.mkv")).Duration(), 2.0, 0.1);
  EXPECT_NEAR(ReadMediaFacts(Out("b.mkv")).Duration(), 2.0, 0.1);
}

// "qphist" counts, at every report, the quantiser of the picture reported; two conversions at
// once, one at quantiser 2 and one at 20, each count only their own.
TEST_F(TTranscodeTest, TwoEnginesAtOnceKeepTheirOwnQuantiserHistograms) {
  TCustomFFmpeg Second;
  Second.Reset();
  const std::pair<TCustomFFmpeg*, const char*> Runs[] = {{&Engine, "2"}, {&Second, "20"}};
  for (const auto& [E, Quantiser] : Runs) {
    ASSERT_TRUE(E->OpenInputFile(TestMedia("mpeg4_mp3.avi"))) << E->LastErrorText();
    E->SetOption("an", "");
    E->SetOption("vcodec", "mpeg4");
    E->SetOption("qscale", Quantiser);
    E->SetOption("qphist", "");
    E->SetReportInterval(0); // a report after every packet
    ASSERT_TRUE(E->OpenOutputFile(Out(std::string("q") + Quantiser + ".avi")))
        << E->LastErrorText();
  }
  test::TEngineRecorder RecordFirst(Engine), RecordSecond(Second);
  ASSERT_TRUE(RunAtOnce(Engine, RecordFirst, Second, RecordSecond));
  // The last report (51 pictures: the clip's 50 span 51 periods): 32 hex digits, one per
  // quantiser 0..31; which of them are not 0.
  const auto CountedQuantisers = [](const std::vector<test::TLogLine>& ALines) {
    const std::regex Last(R"(frame=\s*51 fps=\s*\d+ q=\d+\.\d L([0-9A-F]{32})size=.*)");
    std::smatch Match;
    std::vector<int> Counted;
    for (auto Line = ALines.rbegin(); Line != ALines.rend(); ++Line)
      if (std::regex_match(Line->Text, Match, Last)) {
        for (int Q = 0; Q < 32; ++Q)
          if (Match[1].str()[Q] != '0') Counted.push_back(Q);
        break;
      }
    return Counted;
  };
  EXPECT_EQ(CountedQuantisers(RecordFirst.LogLines()), std::vector<int>{2});
  EXPECT_EQ(CountedQuantisers(RecordSecond.LogLines()), std::vector<int>{20});
}

TEST_F(TTranscodeTest, CutInputsConvertWhatCanBeRead) {
  // Half a file, and a file cut in the middle of a packet.
  const auto Cut = [this](const std::string& ASource, double AFraction, const std::string& AName) {
    std::ifstream In(TestMedia(ASource), std::ios::binary);
    std::string Bytes((std::istreambuf_iterator<char>(In)), {});
    std::ofstream(Out(AName), std::ios::binary)
        .write(Bytes.data(), static_cast<std::streamsize>(Bytes.size() * AFraction) | 1);
    return Out(AName);
  };
  for (const auto& [Source, Fraction] :
       {std::pair{"mpeg4_mp3.avi", 0.5}, std::pair{"multi.mkv", 0.37},
        std::pair{"nokey_start.ts", 0.61}}) {
    TCustomFFmpeg Cutter;
    Cutter.Reset();
    Cutter.SetOption("vcodec", "copy");
    Cutter.SetOption("acodec", "copy");
    Cutter.SetOption("scodec", "copy");
    ASSERT_TRUE(Cutter.OpenInputFile(Cut(Source, Fraction, std::string("cut-") + Source)))
        << Cutter.LastErrorText();
    ASSERT_TRUE(Cutter.OpenOutputFile(Out(std::string("from-") + Source + ".mkv")));
    Cutter.Start(false, TConvertPriority::tpNormal);
    EXPECT_TRUE(Internals(Cutter).Run.Ended) << Source;
    const TMediaFacts Copy = ReadMediaFacts(Out(std::string("from-") + Source + ".mkv"));
    ASSERT_TRUE(Copy.Opened) << Source;
    EXPECT_GT(Copy.Duration(), 0.3) << Source;
  }
}

} // namespace
} // namespace pelorix
