// The video and subtitle output paths. Whole conversions are checked by decoding what they
// wrote: pictures dropped and repeated for a variable-rate input, the frame limit and stops
// during repeats, crop, scale and pad, work pictures an encoder still holds, subtitles between
// the text formats, two-pass encoding, the per-frame statistics file and the app's main format
// from every generated clip. The drop/repeat decision and the picture views are checked on
// their own as well.
#include "DecodedVideo.h"
#include "EngineInternals.h"
#include "MediaFacts.h"
#include "MediaTestSupport.h"
#include "PictureViews.h"
#include "VideoSync.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

namespace pelorix {
namespace {

using test::DecodeVideo;
using test::TDecodedPicture;
using test::TDecodedVideo;
using test::TestMedia;

// --- The drop and repeat decision -------------------------------------------------------

struct TSyncCase {
  const char* Name;
  int Method;
  double TimeBase; // seconds
  double Late; // periods the picture is behind the frames sent (negative: ahead)
  int64_t Frames;
  int64_t SyncOptsAfter;
};

void PrintTo(const TSyncCase& ACase, std::ostream* AStream) { *AStream << ACase.Name; }

class TVideoSyncTest : public ::testing::TestWithParam<TSyncCase> {};

TEST_P(TVideoSyncTest, DecidesFramesAndClock) {
  const TSyncCase& Case = GetParam();
  int64_t SyncOpts = 10;
  const double InputTime = (10 + Case.Late) * Case.TimeBase;
  EXPECT_EQ(VideoFramesFor(InputTime, Case.TimeBase, Case.Method, SyncOpts), Case.Frames);
  EXPECT_EQ(SyncOpts, Case.SyncOptsAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TVideoSyncTest,
    ::testing::Values(TSyncCase{"LateRepeats", -1, 0.04, 3.4, 3, 10},
                      TSyncCase{"EarlyIsDropped", -1, 0.04, -1.5, 0, 10},
                      TSyncCase{"SlightlyLateOnce", -1, 0.04, 1.05, 1, 10},
                      TSyncCase{"SlightlyEarlyOnce", -1, 0.04, -1.05, 1, 10},
                      TSyncCase{"HalvesRoundToEven", 1, 0.04, 2.5, 2, 10},
                      TSyncCase{"DropMethodJumpsAhead", 2, 0.04, 5, 1, 15},
                      TSyncCase{"DropMethodNeverGoesBack", 2, 0.04, -0.75, 1, 10},
                      TSyncCase{"OffFollowsTheInput", 0, 0.04, 5, 1, 15},
                      TSyncCase{"OffNeverGoesBack", 0, 0.04, -3, 1, 10},
                      TSyncCase{"FineTimeBaseIsOff", -1, 0.001, 5, 1, 15},
                      TSyncCase{"ForcedOnAtAFineTimeBase", 1, 0.001, 3, 3, 10}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// --- Picture views ------------------------------------------------------------------------

class TPictureViewsTest : public ::testing::Test {
protected:
  void SetUp() override { test::RequireMediaLibraries(); }

  // Four planes of a fake picture: line sizes 100, 50, 50, 40, far enough apart.
  TPictureView FakeView() {
    TPictureView View;
    for (int P = 0; P < 4; ++P) View.Data[P] = Storage.data() + 3000 * P;
    View.LineSize = {100, 50, 50, 40};
    return View;
  }
  std::vector<uint8_t> Storage = std::vector<uint8_t>(12000);
};

struct TShiftCase {
  AVPixelFormat Format;
  int Top, Left;
  bool Possible;
  std::array<ptrdiff_t, 4> Offsets;
};

TEST_F(TPictureViewsTest, ShiftMovesEachPlaneByItsSubsampling) {
  const TShiftCase Cases[] = {
      {AV_PIX_FMT_YUV420P, 16, 8, true, {16 * 100 + 8, 8 * 50 + 4, 8 * 50 + 4, 0}},
      {AV_PIX_FMT_YUV422P, 16, 8, true, {16 * 100 + 8, 16 * 50 + 4, 16 * 50 + 4, 0}},
      {AV_PIX_FMT_NV12, 16, 8, true, {16 * 100 + 8, 8 * 50 + 4 * 2, 0, 0}},
      {AV_PIX_FMT_YUV420P10LE, 2, 4, true, {2 * 100 + 8, 1 * 50 + 4, 1 * 50 + 4, 0}},
      {AV_PIX_FMT_YUVA420P, 2, 2, true, {2 * 100 + 2, 1 * 50 + 1, 1 * 50 + 1, 2 * 40 + 2}},
      {AV_PIX_FMT_RGB24, 2, 3, true, {2 * 100 + 9, 0, 0, 0}},
      {AV_PIX_FMT_PAL8, 1, 1, true, {101, 0, 0, 0}}, // the palette stays where it is
      {AV_PIX_FMT_YUYV422, 0, 2, true, {4, 0, 0, 0}},
      {AV_PIX_FMT_YUYV422, 0, 3, false, {}}, // would split a pixel pair
      {AV_PIX_FMT_MONOWHITE, 0, 8, false, {}},
      {AV_PIX_FMT_YUV420P, -2, 0, false, {}},
  };
  for (const TShiftCase& Case : Cases) {
    SCOPED_TRACE(AVUtil().av_get_pix_fmt_name(Case.Format) + std::string(" ") +
                 std::to_string(Case.Top) + "," + std::to_string(Case.Left));
    const TPictureView Source = FakeView();
    TPictureView View = Source;
    ASSERT_EQ(ShiftPicture(Source, Case.Format, Case.Top, Case.Left, View), Case.Possible);
    for (int P = 0; P < 4; ++P)
      EXPECT_EQ(View.Data[P] - Source.Data[P], Case.Possible ? Case.Offsets[P] : 0) << P;
  }
}

// A YUV 4:2:0 picture of planes of its own, filled with AValue.
struct TSmallPicture {
  TSmallPicture(int AWidth, int AHeight, int ABytes, uint8_t AValue) {
    const int Widths[3] = {AWidth, (AWidth + 1) / 2, (AWidth + 1) / 2};
    const int Heights[3] = {AHeight, (AHeight + 1) / 2, (AHeight + 1) / 2};
    for (int P = 0; P < 3; ++P) {
      Planes[P].assign(static_cast<size_t>(Widths[P]) * Heights[P] * ABytes, AValue);
      View.Data[P] = Planes[P].data();
      View.LineSize[P] = Widths[P] * ABytes;
    }
  }
  uint8_t At(int APlane, int AX, int AY) const {
    return Planes[APlane][static_cast<size_t>(AY) * View.LineSize[APlane] + AX];
  }
  std::array<std::vector<uint8_t>, 3> Planes;
  TPictureView View;
};

// Band geometry and the copy into the middle are checked on whole conversions below.
TEST_F(TPictureViewsTest, PadScalesTheColourToDeepSamplesAndRefusesWhatItCannotPaint) {
  TSmallPicture Deep(8, 6, 2, 0);
  ASSERT_TRUE(
      PadPicture(Deep.View, nullptr, 6, 8, AV_PIX_FMT_YUV420P10LE, 2, 0, 0, 0, {16, 128, 128}));
  uint16_t Luma = 0, Chroma = 0;
  std::memcpy(&Luma, Deep.Planes[0].data(), 2);
  std::memcpy(&Chroma, Deep.Planes[1].data(), 2);
  EXPECT_EQ(Luma, 16 << 2);
  EXPECT_EQ(Chroma, 128 << 2);

  TSmallPicture Target(8, 6, 1, 7);
  EXPECT_FALSE(
      PadPicture(Target.View, nullptr, 6, 8, AV_PIX_FMT_RGB24, 2, 0, 0, 0, {16, 128, 128}));
  EXPECT_FALSE(PadPicture(Target.View, nullptr, 6, 8, AV_PIX_FMT_NV12, 2, 0, 0, 0, {16, 128, 128}));
  EXPECT_FALSE(
      PadPicture(Target.View, nullptr, 6, 8, AV_PIX_FMT_YUV420P, 4, 2, 0, 0, {16, 128, 128}));
  EXPECT_EQ(Target.At(0, 0, 0), 7); // nothing written
}

// --- Whole conversions ----------------------------------------------------------------------

class TVideoPathTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir = std::filesystem::temp_directory_path() / ("pelorix-video-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
    Engine.Reset();
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::string Out(const std::string& AName) { return (Dir / AName).string(); }
  void Set(const std::vector<std::pair<std::string, std::string>>& AOptions) {
    for (const auto& [Name, Value] : AOptions) Engine.SetOption(Name, Value);
  }
  void Input(const std::string& APath) {
    ASSERT_TRUE(Engine.OpenInputFile(APath)) << Engine.LastErrorText();
  }
  void Output(const std::string& AName) {
    ASSERT_TRUE(Engine.OpenOutputFile(Out(AName))) << Engine.LastErrorText();
  }
  // Runs on this thread; the run's error, if any.
  std::string RunToEnd() {
    Engine.Start(false, TConvertPriority::tpNormal);
    return Engine.ErrorOccurred() ? Engine.ErrorMessage() : std::string();
  }
  int CountLines(const std::string& AText) {
    int Count = 0;
    for (const test::TLogLine& Line : Recorder.LogLines()) Count += Line.Text == AText;
    return Count;
  }

  std::filesystem::path Dir;
  TCustomFFmpeg Engine;
  test::TEngineRecorder Recorder{Engine};
};

// vfr.mkv: 44 pictures 40, 40, 40, 160, 10, 10, 10, 50 ms apart, in rounds of 8 that span 9
// periods of 25 fps. At 25 fps each round sends the late picture 3 times (2 repeats) and drops
// the last of the burst: 5 whole rounds and 4 pictures give 5 x 9 + 4 = 49 frames.
struct TVfrCase {
  const char* Name;
  std::vector<std::pair<std::string, std::string>> Options;
  int Frames, Repeats, Drops;
};

void PrintTo(const TVfrCase& ACase, std::ostream* AStream) { *AStream << ACase.Name; }

class TVfrTest : public TVideoPathTest, public ::testing::WithParamInterface<TVfrCase> {};

TEST_P(TVfrTest, FramesFollowTheInputClock) {
  Input(TestMedia("vfr.mkv"));
  Set({{"vcodec", "mpeg4"}, {"v", "3"}});
  Set(GetParam().Options);
  Output("vfr.mkv");
  ASSERT_EQ(RunToEnd(), "");
  EXPECT_EQ(Internals(Engine).Stats.FramesDup, GetParam().Repeats);
  EXPECT_EQ(Internals(Engine).Stats.FramesDrop, GetParam().Drops);
  EXPECT_EQ(CountLines("*** 2 dup!") * 2, GetParam().Repeats);
  EXPECT_EQ(CountLines("*** drop!"), GetParam().Drops);
  const TDecodedVideo Video = DecodeVideo(Out("vfr.mkv"));
  ASSERT_TRUE(Video.Opened);
  EXPECT_EQ(static_cast<int>(Video.Pictures.size()), GetParam().Frames);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, TVfrTest,
    ::testing::Values(
        TVfrCase{"Automatic", {{"r", "25"}}, 49, 10, 5},
        // Per round: the late picture once at its own time, then two of the burst dropped.
        TVfrCase{"DropOnly", {{"r", "25"}, {"vsync", "2"}}, 34, 0, 10},
        TVfrCase{"Off", {{"r", "100"}, {"vsync", "0"}}, 44, 0, 0},
        TVfrCase{"OffByAFineTimeBase", {{"r", "1000"}}, 44, 0, 0}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST_F(TVideoPathTest, FrameLimitCutsPendingRepeats) {
  Input(TestMedia("vfr.mkv"));
  // Four pictures, then the late one is due three times but only two fit.
  Set({{"vcodec", "mpeg4"}, {"r", "25"}, {"vframes", "6"}});
  Output("limit.mkv");
  ASSERT_EQ(RunToEnd(), "");
  EXPECT_EQ(Internals(Engine).Stats.FramesDup, 2);
  EXPECT_EQ(DecodeVideo(Out("limit.mkv")).Pictures.size(), 6u);
}

TEST_F(TVideoPathTest, StopEndsRepeatsAtOnce) {
  Input(TestMedia("vfr.mkv"));
  Set({{"vcodec", "mpeg4"}, {"r", "25"}, {"v", "3"}});
  Output("stop.mkv");
  Engine.SetLogCallback([](TCustomFFmpeg& AEngine, int, const std::string& AText) {
    if (AText == "*** 2 dup!") AEngine.RequestStop();
  });
  ASSERT_EQ(RunToEnd(), "");
  EXPECT_FALSE(Engine.Finished());
  EXPECT_EQ(DecodeVideo(Out("stop.mkv")).Pictures.size(), 4u); // none of the late picture's
}

TEST_F(TVideoPathTest, CropAndPadPlaceThePictureExactly) {
  const std::string Source = TestMedia("mpeg4_mp3.avi");
  Input(Source);
  // Crop and pad bands of the same size: no scaling, the picture moves up-left by the crop and
  // the pad bands take its place.
  Set({{"an", ""},
       {"vcodec", "rawvideo"},
       {"croptop", "16"},
       {"cropleft", "8"},
       {"padtop", "16"},
       {"padright", "8"},
       {"padcolor", "0xFF8000"}});
  const std::array<int32_t, 3> Colour = Internals(Engine).Options.PadColor;
  Output("croppad.mkv");
  ASSERT_EQ(RunToEnd(), "");
  const TDecodedVideo Original = DecodeVideo(Source);
  const TDecodedVideo Result = DecodeVideo(Out("croppad.mkv"));
  ASSERT_EQ(Result.Pictures.size(), Original.Pictures.size());
  for (size_t K = 0; K < Result.Pictures.size(); ++K) {
    const TDecodedPicture& In = Original.Pictures[K];
    const TDecodedPicture& Picture = Result.Pictures[K];
    ASSERT_EQ(Picture.Width, 176);
    ASSERT_EQ(Picture.Height, 144);
    for (int P = 0; P < 3; ++P) {
      const int Shift = P ? 1 : 0;
      const int Top = 16 >> Shift, Right = (176 - 8) >> Shift, Left = 8 >> Shift;
      for (int Y = 0; Y < Picture.PlaneHeight[P]; ++Y)
        for (int X = 0; X < Picture.PlaneWidth[P]; ++X) {
          const int Expected = Y < Top || X >= Right ? Colour[P] : In.At(P, X + Left, Y);
          if (Picture.At(P, X, Y) != Expected)
            FAIL() << "picture " << K << " plane " << P << " at " << X << "," << Y;
        }
    }
  }
}

TEST_F(TVideoPathTest, CropScaleAndPadMakeTheEncodersSize) {
  const std::string Source = TestMedia("mpeg4_mp3.avi");
  Input(Source);
  Set({{"an", ""},
       {"vcodec", "rawvideo"},
       {"croptop", "16"},
       {"cropbottom", "16"},
       {"s", "88x56"},
       {"padtop", "8"},
       {"padbottom", "8"},
       {"padleft", "4"},
       {"padright", "4"}});
  Output("scalepad.mkv");
  ASSERT_EQ(RunToEnd(), "");
  const TDecodedPicture In = DecodeVideo(Source, 1).Pictures.at(0);
  const TDecodedPicture Picture = DecodeVideo(Out("scalepad.mkv"), 1).Pictures.at(0);
  ASSERT_EQ(Picture.Width, 96);
  ASSERT_EQ(Picture.Height, 72);
  // The bands in the default colour, the middle the cropped source at half size.
  EXPECT_EQ(Picture.Mean(0, 0, 0, 96, 8), 16);
  EXPECT_EQ(Picture.Mean(0, 0, 64, 96, 72), 16);
  EXPECT_EQ(Picture.Mean(0, 0, 8, 4, 64), 16);
  EXPECT_EQ(Picture.Mean(0, 92, 8, 96, 64), 16);
  EXPECT_EQ(Picture.Mean(1, 0, 0, 48, 4), 128);
  EXPECT_EQ(Picture.Mean(2, 46, 4, 48, 32), 128);
  EXPECT_NEAR(Picture.Mean(0, 4, 8, 92, 64), In.Mean(0, 0, 16, 176, 128), 2.0);
}

TEST_F(TVideoPathTest, PicturesThatChangeSizeAreScaledToTheEncoders) {
  // sizes.mjpeg: ten pictures of 176x144, then ten of 128x96. The encoder keeps the first size;
  // the smaller pictures are scaled up to it rather than read past their end.
  const std::string Source = TestMedia("sizes.mjpeg");
  Input(Source);
  Set({{"vcodec", "rawvideo"}});
  Output("sizes.mkv");
  ASSERT_EQ(RunToEnd(), "");
  const TDecodedVideo Original = DecodeVideo(Source);
  const TDecodedVideo Result = DecodeVideo(Out("sizes.mkv"));
  ASSERT_EQ(Original.Pictures.size(), 20u);
  ASSERT_EQ(Result.Pictures.size(), 20u);
  EXPECT_EQ(Original.Pictures[15].Width, 128);
  for (size_t K : {5u, 15u}) {
    const TDecodedPicture& In = Original.Pictures[K];
    const TDecodedPicture& Picture = Result.Pictures[K];
    ASSERT_EQ(Picture.Width, 176);
    ASSERT_EQ(Picture.Height, 144);
    EXPECT_NEAR(Picture.Mean(0, 0, 0, 176, 144), In.Mean(0, 0, 0, In.Width, In.Height), 2.0) << K;
  }
}

TEST_F(TVideoPathTest, ScaledPicturesSurviveAnEncoderThatHoldsThem) {
  // A lossless encoder, on one thread and then on two: with two it queues the scaled pictures
  // it was given, and must still encode each as it was handed over.
  const std::string Source = TestMedia("mpeg4_mp3.avi");
  std::vector<TDecodedVideo> Results;
  for (int Threads : {1, 2}) {
    TCustomFFmpeg Converter;
    Converter.Reset();
    ASSERT_TRUE(Converter.OpenInputFile(Source));
    Converter.SetThreadCount(Threads);
    Converter.SetOption("an", "");
    Converter.SetOption("vcodec", "ffvhuff");
    Converter.SetOption("s", "88x72");
    const std::string Name = Out("held" + std::to_string(Threads) + ".mkv");
    ASSERT_TRUE(Converter.OpenOutputFile(Name));
    Converter.Start(false, TConvertPriority::tpNormal);
    ASSERT_FALSE(Converter.ErrorOccurred()) << Converter.ErrorMessage();
    Results.push_back(DecodeVideo(Name));
  }
  ASSERT_EQ(Results[0].Pictures.size(), 50u);
  ASSERT_EQ(Results[1].Pictures.size(), 50u);
  for (size_t K = 0; K < 50; ++K)
    EXPECT_EQ(Results[1].Pictures[K].Planes, Results[0].Pictures[K].Planes) << "picture " << K;
}

// Subtitles from multi.mkv (SubRip, cues at 0.0, 0.7 and 1.4 s, shown 0.6, 0.6 and 0.5 s,
// the whole file 23 ms late) through a chain of conversions.
struct TSubtitleStep {
  const char* Output;
  const char* Codec; // "scodec", or empty for the format's own
};

struct TSubtitleCase {
  const char* Name;
  std::vector<TSubtitleStep> Steps;
};

void PrintTo(const TSubtitleCase& ACase, std::ostream* AStream) { *AStream << ACase.Name; }

class TSubtitleTest : public TVideoPathTest, public ::testing::WithParamInterface<TSubtitleCase> {};

TEST_P(TSubtitleTest, CuesKeepTheirTextAndTimes) {
  std::string From = TestMedia("multi.mkv");
  for (const TSubtitleStep& Step : GetParam().Steps) {
    SCOPED_TRACE(Step.Output);
    TCustomFFmpeg Converter;
    Converter.Reset();
    ASSERT_TRUE(Converter.OpenInputFile(From)) << Converter.LastErrorText();
    Converter.SetOption("vn", "");
    Converter.SetOption("an", "");
    if (*Step.Codec) Converter.SetOption("scodec", Step.Codec);
    ASSERT_TRUE(Converter.OpenOutputFile(Out(Step.Output))) << Converter.LastErrorText();
    Converter.Start(false, TConvertPriority::tpNormal);
    ASSERT_FALSE(Converter.ErrorOccurred()) << Converter.ErrorMessage();

    // MP4 fills the gaps between cues with empty samples (a zero text length); they show
    // nothing.
    std::vector<test::TSubtitlePacket> Cues = test::ReadSubtitlePackets(Out(Step.Output));
    std::erase_if(Cues,
                  [](const test::TSubtitlePacket& APacket) { return APacket.Bytes.size() <= 2; });
    ASSERT_EQ(Cues.size(), 3u);
    const char* Texts[] = {"First cue", "Second cue", "Third cue"};
    const double Starts[] = {0.023, 0.723, 1.423};
    const double Durations[] = {0.6, 0.6, 0.5};
    for (size_t I = 0; I < 3; ++I) {
      EXPECT_NE(Cues[I].Bytes.find(Texts[I]), std::string::npos) << Cues[I].Bytes;
      // ASS keeps centiseconds.
      EXPECT_NEAR(Cues[I].Start, Starts[I], 0.0035) << I;
      EXPECT_NEAR(Cues[I].Duration, Durations[I], 0.0015) << I;
    }
    From = Out(Step.Output);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Chains, TSubtitleTest,
    ::testing::Values(
        TSubtitleCase{"SubRipToSubRip", {{"cues.srt", ""}}},
        TSubtitleCase{"SubRipToAssToSubRip", {{"cues.mkv", ""}, {"cues.srt", ""}}},
        TSubtitleCase{"SubRipToMp4TextToAss", {{"cues.mp4", "mov_text"}, {"cues.mkv", ""}}},
        TSubtitleCase{"AssToMp4TextToSubRip",
                      {{"cues.ass", ""}, {"cues.mp4", "mov_text"}, {"cues.srt", "srt"}}}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// dvbsub.mkv: two pages at 0.2 and 1.0 s, which the container shows for 0.5 and 0.7 s. The
// decoder gives each the page time-out the encoder wrote, 30 s, as its end; the container's
// durations win, so each page is taken away on time, whatever the output's clock.
class TDvbSubtitleTest : public TVideoPathTest,
                         public ::testing::WithParamInterface<const char*> {};

TEST_P(TDvbSubtitleTest, PagesAreShownAndTakenAway) {
  Input(TestMedia("dvbsub.mkv"));
  Set({{"vn", ""}, {"scodec", "dvbsub"}});
  Output(GetParam());
  ASSERT_EQ(RunToEnd(), "");
  const std::vector<test::TSubtitlePacket> Packets = test::ReadSubtitlePackets(Out(GetParam()));
  ASSERT_EQ(Packets.size(), 4u);
  EXPECT_NEAR(Packets[1].Start - Packets[0].Start, 0.5, 0.001);
  EXPECT_NEAR(Packets[2].Start - Packets[0].Start, 0.8, 0.001);
  EXPECT_NEAR(Packets[3].Start - Packets[2].Start, 0.7, 0.001);
  EXPECT_LT(Packets[1].Bytes.size(), Packets[0].Bytes.size()); // empty pages
  EXPECT_LT(Packets[3].Bytes.size(), Packets[2].Bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Containers, TDvbSubtitleTest, ::testing::Values("dvb.mkv", "dvb.ts"),
                         [](const auto& AInfo) { return std::string(AInfo.param).substr(4); });

TEST_F(TVideoPathTest, TwoPassWritesThenReadsTheStatistics) {
  const std::string Source = TestMedia("mpeg4_mp3.avi");
  const std::string Prefix = Out("stats");
  for (const char* Pass : {"1", "2"}) {
    SCOPED_TRACE(std::string("pass ") + Pass);
    TCustomFFmpeg Converter;
    Converter.Reset();
    ASSERT_TRUE(Converter.OpenInputFile(Source));
    Converter.SetOption("an", "");
    Converter.SetOption("vcodec", "libxvid");
    Converter.SetOption("b", "1500000");
    Converter.SetOption("pass", Pass);
    Converter.SetOption("passlogfile", Prefix);
    ASSERT_TRUE(Converter.OpenOutputFile(Out(std::string("pass") + Pass + ".avi")));
    Converter.Start(false, TConvertPriority::tpNormal);
    ASSERT_FALSE(Converter.ErrorOccurred()) << Converter.ErrorMessage();
    EXPECT_TRUE(Converter.Finished());
    // The encoder's statistics, one line per encoded picture after its comments, written in
    // the first pass and read in the second: 51 pictures, as the clip's 50 span 51 periods.
    std::ifstream Log(Prefix + "-0.log");
    int Lines = 0;
    for (std::string Line; std::getline(Log, Line);) Lines += !Line.empty() && Line[0] != '#';
    EXPECT_EQ(Lines, 51);
    EXPECT_EQ(DecodeVideo(Out(std::string("pass") + Pass + ".avi")).Pictures.size(), 51u);
  }
}

// MPEG-4 Visual in a container that times each picture counts in the source's fine time base
// (1/12800 here); its rate control must still see 25 pictures a second. A cap four times what
// the quantiser writes then leaves the stream as it is, where a starved buffer would squeeze
// the pictures to half their bytes.
TEST_F(TVideoPathTest, CapFarAboveAFixedQuantisersRateLeavesTheStreamAlone) {
  uintmax_t Sizes[2] = {};
  for (const bool Capped : {false, true}) {
    SCOPED_TRACE(Capped ? "capped" : "uncapped");
    TCustomFFmpeg Converter;
    Converter.Reset();
    ASSERT_TRUE(Converter.OpenInputFile(TestMedia("camera.mp4")));
    Converter.SetOption("an", "");
    Converter.SetOption("vcodec", "mpeg4");
    Converter.SetOption("qscale", "3");
    if (Capped) {
      Converter.SetOption("maxrate", "1000000");
      Converter.SetOption("bufsize", "200000");
    }
    const std::string Name = Out(Capped ? "capped.3gp" : "uncapped.3gp");
    ASSERT_TRUE(Converter.OpenOutputFile(Name)) << Converter.LastErrorText();
    Converter.Start(false, TConvertPriority::tpNormal);
    ASSERT_FALSE(Converter.ErrorOccurred()) << Converter.ErrorMessage();
    Sizes[Capped] = std::filesystem::file_size(Name);
  }
  EXPECT_GT(Sizes[0], 40000u);
  EXPECT_EQ(Sizes[1], Sizes[0]);
}

TEST_F(TVideoPathTest, VstatsFileHasALinePerEncodedPicture) {
  Input(TestMedia("mpeg4_mp3.avi"));
  Set({{"an", ""}, {"vcodec", "libxvid"}, {"b", "1500000"}, {"vstats_file", Out("vstats.log")}});
  Output("vstats.avi");
  ASSERT_EQ(RunToEnd(), "");
  const std::regex Format(
      R"(frame= +(\d+) q= \d+\.\d f_size= +(\d+) s_size= +\d+kB time= \d+\.\d{3} )"
      R"(br= +\d+\.\dkbits/s avg_br= +\d+\.\dkbits/s type= [IPB])");
  std::ifstream File(Out("vstats.log"));
  int Number = 0;
  int64_t Bytes = 0;
  for (std::string Line; std::getline(File, Line);) {
    std::smatch Match;
    ASSERT_TRUE(std::regex_match(Line, Match, Format)) << Line;
    EXPECT_EQ(std::stoi(Match[1]), ++Number);
    Bytes += std::stoll(Match[2]);
  }
  EXPECT_EQ(Number, 51); // the clip's 50 pictures span 51 periods
  EXPECT_EQ(Bytes, Internals(Engine).Stats.VideoSize); // every packet counted once
}

// The app's main format: MPEG-4 Part 2 through libxvid at 1500000 bit/s and MP3 through
// libmp3lame in AVI, the frame size of the source.
struct TClipCase {
  const char* Clip;
  bool Audio = false;
  int LeadingRepeats = 0; // the first picture comes late and is repeated to fill the gap
  int Frames = -1; // -1: the source's pictures and the repeats
  int Width = 0, Height = 0; // 0: the source's
  // Pictures the source shows for more than a period (an empty packet, a late start the last
  // picture makes up for), repeated up to the end of its last picture.
  int LaterRepeats = 0;
};

void PrintTo(const TClipCase& ACase, std::ostream* AStream) { *AStream << ACase.Clip; }

class TMainFormatTest : public TVideoPathTest, public ::testing::WithParamInterface<TClipCase> {};

TEST_P(TMainFormatTest, EveryClipConverts) {
  const TClipCase& Case = GetParam();
  const std::string Source = TestMedia(Case.Clip);
  Input(Source);
  Set({{"vcodec", "libxvid"}, {"b", "1500000"}, {"acodec", "libmp3lame"}});
  Output("main.avi");
  ASSERT_EQ(RunToEnd(), "");
  EXPECT_TRUE(Engine.Finished());
  const test::TMediaFacts Facts = test::ReadMediaFacts(Out("main.avi"));
  ASSERT_EQ(Facts.Streams.size(), Case.Audio ? 2u : 1u);
  EXPECT_EQ(Facts.Streams[0].Codec, AV_CODEC_ID_MPEG4);
  if (Case.Audio) {
    // The first audio stream is converted, at its own rate and channels.
    const test::TMediaFacts Input = test::ReadMediaFacts(Source);
    const auto IsAudio = [](const test::TStreamFacts& A) { return A.Kind == AVMEDIA_TYPE_AUDIO; };
    const auto First = std::find_if(Input.Streams.begin(), Input.Streams.end(), IsAudio);
    ASSERT_NE(First, Input.Streams.end());
    EXPECT_EQ(Facts.Streams[1].Codec, AV_CODEC_ID_MP3);
    EXPECT_EQ(Facts.Streams[1].SampleRate, First->SampleRate);
    EXPECT_EQ(Facts.Streams[1].Channels, First->Channels);
    EXPECT_NEAR(Facts.Streams[1].Duration, First->Duration, 0.1);
  }

  const TDecodedVideo Original = DecodeVideo(Source);
  const TDecodedVideo Result = DecodeVideo(Out("main.avi"));
  ASSERT_FALSE(Result.Pictures.empty());
  ASSERT_FALSE(Original.Pictures.empty());
  EXPECT_EQ(Result.Pictures[0].Width, Case.Width ? Case.Width : Original.Pictures[0].Width);
  EXPECT_EQ(Result.Pictures[0].Height, Case.Height ? Case.Height : Original.Pictures[0].Height);
  const size_t Expected = Case.Frames >= 0
                              ? static_cast<size_t>(Case.Frames)
                              : Original.Pictures.size() + Case.LeadingRepeats + Case.LaterRepeats;
  ASSERT_EQ(Result.Pictures.size(), Expected);
  if (Case.Frames >= 0 || Case.Width) return;
  // Picture for picture, the same content.
  const size_t Middle = Original.Pictures.size() / 2;
  EXPECT_LT(
      LumaDifference(Result.Pictures[Middle + Case.LeadingRepeats], Original.Pictures[Middle]),
      4.0);
}

INSTANTIATE_TEST_SUITE_P(
    Clips, TMainFormatTest,
    ::testing::Values(
        TClipCase{"mpeg4_aac.3gp", true}, TClipCase{"h264_aac.mp4", true},
        // The AVI's second chunk is empty: its 50 pictures span 51 periods.
        TClipCase{"mpeg4_mp3.avi", true, 0, -1, 0, 0, 1},
        // Every stream starts 23 ms late: the last picture ends 2.023 s in, 51 periods.
        TClipCase{"multi.mkv", true, 0, -1, 0, 0, 1}, TClipCase{"ntsc.mp4", true},
        // Decoding starts at the first key picture, 8 pictures in; the last picture shows its
        // own period.
        TClipCase{"nokey_start.ts", false, 7, -1, 0, 0, 1}, TClipCase{"interlaced.mkv"},
        TClipCase{"sar4x3.mp4"},
        // The first program's picture, in its own size; it starts 80 ms late.
        TClipCase{"two_programs.ts", true, 0, -1, 0, 0, 1},
        TClipCase{"vfr.mkv", false, 0, 49}), // see TVfrTest
    [](const auto& AInfo) {
      std::string Name = AInfo.param.Clip;
      for (char& C : Name)
        if (!std::isalnum(static_cast<unsigned char>(C))) C = '_';
      return Name;
    });

} // namespace
} // namespace pelorix
