// Video filters and frame pre-processing: the deinterlacer, the hook bitmap, the filter graph on
// its own, the pre-processing of single pictures (before-hook, time ranges, hook modules,
// custom hook), and whole conversions through filters and hooks checked in the decoded output.
#include "DecodedPictures.h"
#include "Deinterlace.h"
#include "EngineInternals.h"
#include "MediaTestSupport.h"

#include <filesystem>
#include <stdexcept>
#include <thread>

namespace pelorix {
namespace {

using test::DecodePictures;
using test::MakePicture;
using test::TDecodedPicture;
using test::TestMedia;

// Luma of the pictures made here; chroma is flat grey.
int PatternLuma(int AX, int AY) { return 20 + (AX * 3 + AY * 5) % 200; }

TFramePtr Pattern(int AWidth = 64, int AHeight = 48) {
  return MakePicture(AV_PIX_FMT_YUV420P, AWidth, AHeight,
                     [](int P, int X, int Y) { return P == 0 ? PatternLuma(X, Y) : 128; });
}

// --- The deinterlacer ---

TEST(TDeinterlaceTest, KeepsTopFieldAndLowPassesBottomField) {
  test::RequireMediaLibraries();
  // Rows of one value each: 0, 0, 255, 0, 0, 0, 255, 255 (chroma the same on 4 rows).
  const int Rows[8] = {0, 0, 255, 0, 0, 0, 255, 255};
  TFramePtr Source =
      MakePicture(AV_PIX_FMT_YUV420P, 8, 8, [&](int, int, int Y) { return Rows[Y]; });
  TFramePtr Target = MakePicture(AV_PIX_FMT_YUV420P, 8, 8, [](int, int, int) { return 7; });
  ASSERT_TRUE(DeinterlacePicture(Target->data, Target->linesize, Source->data, Source->linesize,
                                 AV_PIX_FMT_YUV420P, 8, 8));
  // Row 1: (-0 + 4*0 + 2*0 + 4*255 - 0 + 4) / 8; row 3: (-0 + 4*255 + 0 + 0 - 0 + 4) / 8;
  // row 5: (-0 + 0 + 0 + 4*255 - 255 + 4) / 8; row 7 (bottom edge repeats row 7):
  // (-0 + 4*255 + 2*255 + 4*255 - 255 + 4) / 8 clipped.
  const int Expected[8] = {0, 128, 255, 128, 0, 96, 255, 255};
  for (int Y = 0; Y < 8; ++Y)
    EXPECT_EQ(Target->data[0][Y * Target->linesize[0] + 5], Expected[Y]) << Y;
  // Chroma rows 0, 0, 255, 0: row 1 as above, row 3 repeats the last row below.
  EXPECT_EQ(Target->data[1][1 * Target->linesize[1]], 128);
  EXPECT_EQ(Target->data[2][3 * Target->linesize[2] + 3], (-0 + 4 * 255 + 0 + 0 - 0 + 4) / 8);
}

TEST(TDeinterlaceTest, TakesPlanarYuvAndGrayOnly) {
  test::RequireMediaLibraries();
  const std::pair<AVPixelFormat, bool> Cases[] = {
      {AV_PIX_FMT_YUV420P, true},      {AV_PIX_FMT_YUVJ422P, true}, {AV_PIX_FMT_YUV444P, true},
      {AV_PIX_FMT_NV12, true},         {AV_PIX_FMT_GRAY8, true},    {AV_PIX_FMT_YUV420P10, true},
      {AV_PIX_FMT_YUVA420P, true},     {AV_PIX_FMT_RGB24, false},   {AV_PIX_FMT_BGR24, false},
      {AV_PIX_FMT_YUYV422, false},     {AV_PIX_FMT_PAL8, false},    {AV_PIX_FMT_MONOWHITE, false},
      {AV_PIX_FMT_YUV420P10BE, false}, {AV_PIX_FMT_P010, false},    {AV_PIX_FMT_NONE, false}};
  for (const auto& [Format, Supported] : Cases)
    EXPECT_EQ(CanDeinterlace(Format), Supported) << Format;
  // A refused format leaves the target as it was.
  TFramePtr Source = MakePicture(AV_PIX_FMT_RGB24, 4, 4, [](int, int, int) { return 200; });
  TFramePtr Target = MakePicture(AV_PIX_FMT_RGB24, 4, 4, [](int, int, int) { return 1; });
  EXPECT_FALSE(DeinterlacePicture(Target->data, Target->linesize, Source->data, Source->linesize,
                                  AV_PIX_FMT_RGB24, 4, 4));
  EXPECT_EQ(Target->data[0][Target->linesize[0] + 2], 1);

  // 10-bit samples, rows 0, 0, 1023, 1023, 1023, 0: row 3 is held at the 10-bit maximum.
  const int Rows[6] = {0, 0, 1023, 1023, 1023, 0};
  Source =
      MakePicture(AV_PIX_FMT_GRAY10, 1, 6, [&](int, int X, int Y) { return Rows[Y] >> 8 * X; });
  Target = MakePicture(AV_PIX_FMT_GRAY10, 1, 6, [](int, int, int) { return 0; });
  ASSERT_TRUE(DeinterlacePicture(Target->data, Target->linesize, Source->data, Source->linesize,
                                 AV_PIX_FMT_GRAY10, 1, 6));
  const auto Sample = [&](int Y) {
    return *reinterpret_cast<const uint16_t*>(Target->data[0] + Y * Target->linesize[0]);
  };
  EXPECT_EQ(Sample(1), (4 * 1023 - 1023 + 4) / 8);
  EXPECT_EQ(Sample(3), 1023);
}

// --- The hook bitmap ---

TEST(THookBitmapTest, RowsAreTopFirstBgrAndDrawingIsClipped) {
  THookBitmap Bitmap(5, 3);
  EXPECT_EQ(Bitmap.Stride(), 16); // 15 bytes rounded up to 4
  EXPECT_EQ(Bitmap.ScanLine(3), nullptr);
  EXPECT_EQ(Bitmap.ScanLine(1) - Bitmap.ScanLine(0), 16);
  Bitmap.Canvas().FillRect(3, -2, 99, 1, {1, 2, 3});
  const uint8_t* Top = Bitmap.ScanLine(0);
  EXPECT_EQ(std::vector<uint8_t>(Top + 6, Top + 15),
            (std::vector<uint8_t>{0, 0, 0, 1, 2, 3, 1, 2, 3}));
  EXPECT_EQ(Bitmap.Canvas().Pixel(4, 1), TBgrColor{});
  EXPECT_TRUE(THookBitmap(0, 3).Empty());

  // The canvas lock keeps other threads out and lets its holder in again.
  THookCanvasLock Lock(Bitmap.Canvas());
  EXPECT_TRUE(Bitmap.Canvas().TryLock());
  Bitmap.Canvas().Unlock();
  bool Other = true;
  std::thread([&] { Other = Bitmap.Canvas().TryLock(); }).join();
  EXPECT_FALSE(Other);
}

// --- The filter graph on its own ---

class TVideoFilterGraphTest : public ::testing::Test {
protected:
  void SetUp() override { test::RequireMediaLibraries(); }
  int Build(const std::string& AFilters, int AScaleWidth = 0, int AScaleHeight = 0,
            AVPixelFormat AOutput = AV_PIX_FMT_YUV420P) {
    return Graph.Build({64, 48, AV_PIX_FMT_YUV420P, {1, 1}}, AScaleWidth, AScaleHeight, AFilters,
                       AOutput);
  }
  // Every picture ready, with its time.
  std::vector<TDecodedPicture> Take() {
    std::vector<TDecodedPicture> Pictures;
    TFramePtr Picture(AVUtil().av_frame_alloc());
    for (int64_t Pts = 0; Graph.Receive(Picture.get(), Pts) > 0;
         AVUtil().av_frame_unref(Picture.get()))
      Pictures.push_back(test::CopyPicture(*Picture, Pts));
    return Pictures;
  }
  TVideoFilterGraph Graph;
};

TEST_F(TVideoFilterGraphTest, ScaleStepFormatStepAndResizingFilters) {
  ASSERT_EQ(Build("transpose"), 0);
  EXPECT_EQ(Graph.OutputWidth(), 48);
  EXPECT_EQ(Graph.OutputHeight(), 64);
  ASSERT_EQ(Build("", 32, 24, AV_PIX_FMT_GRAY8), 0);
  TFramePtr Picture = Pattern();
  ASSERT_EQ(Graph.Send(*Picture, 0, {1, 1}), 0);
  const auto Pictures = Take();
  ASSERT_EQ(Pictures.size(), 1u);
  EXPECT_EQ(Pictures[0].Format, AV_PIX_FMT_GRAY8);
  EXPECT_EQ(Pictures[0].Width * 100 + Pictures[0].Height, 3224);
  EXPECT_LT(Build("no_such_filter"), 0);
  EXPECT_FALSE(Graph.Built());
}

TEST_F(TVideoFilterGraphTest, ClosingTheInputReleasesHeldPictures) {
  ASSERT_EQ(Build("reverse"), 0);
  for (int I = 0; I < 3; ++I) {
    TFramePtr Picture = Pattern();
    ASSERT_EQ(Graph.Send(*Picture, I * 40'000, {1, 1}), 0);
  }
  // A picture of another size is brought to the graph's size first.
  TFramePtr Larger = Pattern(96, 80);
  ASSERT_EQ(Graph.Send(*Larger, 120'000, {1, 1}), 0);
  EXPECT_TRUE(Take().empty());
  ASSERT_EQ(Graph.Close(160'000), 0);
  const auto Pictures = Take();
  ASSERT_EQ(Pictures.size(), 4u);
  EXPECT_EQ(Pictures[3].Width, 64);
  EXPECT_EQ(Pictures[3].Pts, 120'000); // the times come back in microseconds
  EXPECT_EQ(Graph.Send(*Larger, 200'000, {1, 1}), AVERROR_EOF);
}

// --- Pre-processing single pictures ---

class TPreprocessEngine : public TCustomFFmpeg {
public:
  using TCustomFFmpeg::PreprocessVideoFrame;
};

class TPreprocessTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Engine.Reset();
  }
  void AddInvertModule() { Engine.SetOption("vhook", PELORIX_HOOK_INVERT); }
  // Pre-processes a new pattern picture (or APicture) shown at APts.
  TFramePtr Process(int64_t APts, TFramePtr APicture = nullptr) {
    if (!APicture) APicture = Pattern();
    Input.Pts = APts;
    Engine.PreprocessVideoFrame(Input, APicture.get());
    return APicture;
  }
  static bool Inverted(const AVFrame& APicture) {
    return APicture.data[0][APicture.linesize[0] * 3 + 4] == 255 - PatternLuma(4, 3);
  }
  std::vector<std::string> LogTexts() {
    std::vector<std::string> Texts;
    for (const test::TLogLine& Line : Recorder.LogLines()) {
      EXPECT_EQ(Line.Level, 0) << Line.Text;
      Texts.push_back(Line.Text);
    }
    return Texts;
  }

  TPreprocessEngine Engine;
  test::TEngineRecorder Recorder{Engine};
  TInputStream Input;
};

TEST_F(TPreprocessTest, BeforeHookIgnoresOnePictureAndStopsTheModules) {
  AddInvertModule();
  std::vector<std::pair<int64_t, THookAction>> Calls;
  Engine.SetBeforeHookCallback([&](TCustomFFmpeg&, int64_t APts, THookAction& AAction) {
    Calls.emplace_back(APts, AAction);
    AAction = Calls.size() == 2   ? THookAction::haIgnore
              : Calls.size() == 4 ? THookAction::haStop
                                  : THookAction::haContinue;
  });
  TFramePtr First = Process(0);
  TFramePtr Second = Pattern();
  const uint8_t* Decoded = Second->data[0];
  Second = Process(40'000, std::move(Second));
  TFramePtr Third = Process(80'000);
  TFramePtr Fourth = Process(120'000);
  TFramePtr Fifth = Process(160'000);
  EXPECT_TRUE(Inverted(*First));
  EXPECT_FALSE(Inverted(*Second));
  EXPECT_EQ(Second->data[0], Decoded); // an ignored picture is not even copied
  EXPECT_TRUE(Inverted(*Third));
  EXPECT_FALSE(Inverted(*Fourth));
  EXPECT_FALSE(Inverted(*Fifth));
  // Each call starts from the previous decision; none after the stop.
  using enum THookAction;
  EXPECT_EQ(Calls,
            (std::vector<std::pair<int64_t, THookAction>>{
                {0, haContinue}, {40'000, haContinue}, {80'000, haIgnore}, {120'000, haContinue}}));
  EXPECT_EQ(Internals(Engine).Settings.UsingVhook, 0);
  EXPECT_EQ(Internals(Engine).Hooks.HookFrameNumber, 5);
}

TEST_F(TPreprocessTest, BeforeHookFailureSwitchesTheModulesOff) {
  AddInvertModule();
  Engine.SetBeforeHookCallback(
      [](TCustomFFmpeg&, int64_t, THookAction&) { throw std::runtime_error("no answer"); });
  EXPECT_FALSE(Inverted(*Process(0)));
  EXPECT_FALSE(Inverted(*Process(40'000)));
  EXPECT_EQ(LogTexts(), std::vector<std::string>{"Error occurs OnBeforeHook: no answer"});
  // Anything that is not a general exception goes through to the run.
  Engine.Reset();
  AddInvertModule();
  Engine.SetBeforeHookCallback([](TCustomFFmpeg&, int64_t, THookAction&) { throw 3; });
  EXPECT_THROW(Process(0), int);
}

TEST_F(TPreprocessTest, TimeRangesChooseThePicturesAndEndTheModules) {
  AddInvertModule();
  Engine.SetHookRanges({{10'000'000, 12'000'000}, {0, 2'000'000}}); // sorted by their end
  EXPECT_TRUE(Inverted(*Process(1'000'000)));
  EXPECT_FALSE(Inverted(*Process(5'000'000)));
  EXPECT_TRUE(Inverted(*Process(11'000'000)));
  EXPECT_TRUE(Inverted(*Process(12'000'000)));
  EXPECT_FALSE(Inverted(*Process(12'000'001)));
  EXPECT_EQ(Internals(Engine).Settings.UsingVhook, 0);
  EXPECT_FALSE(Inverted(*Process(1'000'000))); // for good
}

TEST_F(TPreprocessTest, CustomHookFailureDiscardsItsDrawing) {
  THookBitmap* Bitmap = nullptr;
  Engine.SetCustomHookCallback(
      [&Bitmap](TCustomFFmpeg&, THookBitmap& ABitmap, int, int64_t, bool&, bool&) {
        Bitmap = &ABitmap;
        ABitmap.Canvas().FillRect(0, 0, 64, 48, {});
        throw std::runtime_error("pen broke");
      });
  TFramePtr Picture = Process(0);
  EXPECT_EQ(Picture->data[0][16 * Picture->linesize[0] + 16], PatternLuma(16, 16));
  EXPECT_EQ(LogTexts(), std::vector<std::string>{"Error occurs OnCustomHook: pen broke"});
  // The canvas was unlocked on the way out.
  ASSERT_NE(Bitmap, nullptr);
  bool Free = false;
  std::thread([&] {
    Free = Bitmap->Canvas().TryLock();
    if (Free) Bitmap->Canvas().Unlock();
  }).join();
  EXPECT_TRUE(Free);
}

TEST_F(TPreprocessTest, CustomHookBitmapSurvivesPicturesOfOtherSizes) {
  std::vector<int> Widths;
  Engine.SetCustomHookCallback(
      [&](TCustomFFmpeg&, THookBitmap& ABitmap, int, int64_t, bool&, bool&) {
        Widths.push_back(ABitmap.Width());
        ABitmap.Canvas().FillRect(0, 0, ABitmap.Width(), ABitmap.Height(), {0, 0, 255});
      });
  Process(0, Pattern(32, 16));
  TFramePtr Larger = Process(40'000, Pattern(96, 64));
  TFramePtr Smaller = Process(80'000, Pattern(16, 8));
  EXPECT_EQ(Widths, (std::vector<int>{32, 32, 32}));
  // Only what the bitmap covers was drawn on.
  EXPECT_NEAR(Larger->data[0][10 * Larger->linesize[0] + 20], 81, 3);
  EXPECT_NEAR(Larger->data[0][40 * Larger->linesize[0] + 80], PatternLuma(80, 40), 3);
  EXPECT_NEAR(Smaller->data[0][7 * Smaller->linesize[0] + 15], 81, 3);
}

TEST_F(TPreprocessTest, BgrPicturesNeedNoConversion) {
  TFramePtr Picture =
      MakePicture(AV_PIX_FMT_BGR24, 8, 4, [](int, int X, int Y) { return X * 10 + Y; });
  std::vector<uint8_t> Row;
  Engine.SetCustomHookCallback(
      [&](TCustomFFmpeg&, THookBitmap& ABitmap, int, int64_t, bool& AUpdate, bool&) {
        Row.assign(ABitmap.ScanLine(2), ABitmap.ScanLine(2) + 24);
        ABitmap.ScanLine(2)[0] = 255;
        AUpdate = true;
      });
  Picture = Process(0, std::move(Picture));
  EXPECT_EQ(Row[5], 52);
  EXPECT_EQ(Picture->data[0][2 * Picture->linesize[0]], 255);
  EXPECT_FALSE(Internals(Engine).Hooks.ToRGBContext);
  EXPECT_FALSE(Internals(Engine).Hooks.FromRGBContext);
}

TEST_F(TPreprocessTest, DeinterlacingAloneOrFailingOnOtherFormats) {
  Engine.SetOption("deinterlace", "");
  TFramePtr Picture = Process(0);
  // Row 1 of the pattern at x = 0: (-20 + 4 * 20 + 2 * 25 + 4 * 30 - 35 + 4) / 8.
  EXPECT_EQ(Picture->data[0][Picture->linesize[0]], (-20 + 80 + 50 + 120 - 35 + 4) / 8);
  EXPECT_EQ(Picture->data[0][2 * Picture->linesize[0]], PatternLuma(0, 2));
  TFramePtr Rgb = MakePicture(AV_PIX_FMT_RGB24, 8, 4, [](int, int X, int) { return X; });
  const uint8_t* Decoded = Rgb->data[0];
  Rgb = Process(40'000, std::move(Rgb));
  EXPECT_EQ(Rgb->data[0], Decoded); // goes on as decoded
  EXPECT_EQ(LogTexts(), std::vector<std::string>{"Deinterlacing failed."});
}

// --- Whole conversions ---

class TFilterRunTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir =
        std::filesystem::temp_directory_path() / ("pelorix-filters-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
    Engine.Reset();
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  // Converts AInput's video losslessly into out.mkv with the options given; the run's error.
  std::string Convert(const std::string& AInput,
                      const std::vector<std::pair<std::string, std::string>>& AOptions) {
    EXPECT_TRUE(Engine.OpenInputFile(TestMedia(AInput))) << Engine.LastErrorText();
    for (const auto& [Name, Value] : AOptions) Engine.SetOption(Name, Value);
    Engine.SetOption("vcodec", "ffv1");
    Engine.SetOption("an", "");
    Engine.SetOption("sn", "");
    if (!Engine.OpenOutputFile(Output())) return Engine.LastErrorText();
    Engine.Start(false, TConvertPriority::tpNormal);
    return Engine.ErrorOccurred() ? Engine.ErrorMessage() : std::string();
  }
  std::string Output() const { return (Dir / "out.mkv").string(); }
  std::vector<TDecodedPicture> Source(const std::string& AName) {
    return DecodePictures(TestMedia(AName), 10);
  }
  std::vector<TDecodedPicture> Result() { return DecodePictures(Output(), 10); }

  std::filesystem::path Dir;
  TCustomFFmpeg Engine;
};

TEST_F(TFilterRunTest, VflipReallyFlipsThePictures) {
  ASSERT_EQ(Convert("mpeg4_mp3.avi", {{"vfilters", "vflip"}}), "");
  const auto In = Source("mpeg4_mp3.avi"), Out = Result();
  ASSERT_EQ(Out.size(), 10u);
  for (int Y = 0; Y < 144; Y += 11)
    for (int X = 0; X < 176; X += 13) ASSERT_EQ(Out[4].At(0, X, Y), In[4].At(0, X, 143 - Y));
}

TEST_F(TFilterRunTest, TransposeSwapsTheEncodedSize) {
  ASSERT_EQ(Convert("mpeg4_mp3.avi", {{"vfilters", "transpose"}}), "");
  const auto Out = Result();
  ASSERT_FALSE(Out.empty());
  EXPECT_EQ(Out[0].Width, 144);
  EXPECT_EQ(Out[0].Height, 176);
}

TEST_F(TFilterRunTest, PadBandsRefuseFiltersThatResize) {
  EXPECT_EQ(Convert("mpeg4_mp3.avi", {{"vfilters", "pad=200:160"}, {"padtop", "16"}}),
            "Error opening filters: Cannot enable pad options and the filters which resize frame "
            "at the same time. (crop, rotate, scale, transpose, etc.)");
}

TEST_F(TFilterRunTest, UnknownFilterFailsTheSetUp) {
  EXPECT_EQ(Convert("mpeg4_mp3.avi", {{"vfilters", "no_such_filter"}}), "Error opening filters!");
}

TEST_F(TFilterRunTest, DeinterlaceFiltersTheInterlacedClip) {
  ASSERT_EQ(Convert("interlaced.mkv", {{"deinterlace", ""}}), "");
  auto In = Source("interlaced.mkv");
  const auto Out = Result();
  ASSERT_EQ(Out.size(), 10u);
  TFramePtr Expected = MakePicture(AV_PIX_FMT_YUV420P, 176, 144, [](int, int, int) { return 0; });
  TFramePtr Decoded = MakePicture(AV_PIX_FMT_YUV420P, 176, 144,
                                  [&](int P, int X, int Y) { return In[3].At(P, X, Y); });
  ASSERT_TRUE(DeinterlacePicture(Expected->data, Expected->linesize, Decoded->data,
                                 Decoded->linesize, AV_PIX_FMT_YUV420P, 176, 144));
  EXPECT_EQ(test::CopyPicture(*Expected, 0).Planes, Out[3].Planes);
  EXPECT_NE(In[3].Planes, Out[3].Planes);
}

TEST_F(TFilterRunTest, CustomHookSquareShowsUntilTheHookStops) {
  std::vector<std::pair<int, int64_t>> Calls;
  std::vector<TBgrColor> Seen;
  Engine.SetCustomHookCallback([&](TCustomFFmpeg&, THookBitmap& ABitmap, int AFrame, int64_t APts,
                                   bool& AUpdate, bool& AStop) {
    Calls.emplace_back(AFrame, APts);
    EXPECT_TRUE(AUpdate && !AStop);
    Seen.push_back(ABitmap.Canvas().Pixel(100, 10));
    ABitmap.Canvas().FillRect(32, 32, 64, 64, {0, 0, 255}); // red
    AStop = AFrame == 3;
  });
  ASSERT_EQ(Convert("mpeg4_mp3.avi", {}), "");
  const auto In = Source("mpeg4_mp3.avi"), Out = Result();
  ASSERT_EQ(Out.size(), 10u);
  EXPECT_EQ(Calls,
            (std::vector<std::pair<int, int64_t>>{{1, In[0].Pts}, {2, In[1].Pts}, {3, In[2].Pts}}));
  for (int I = 0; I < 3; ++I) {
    // The bitmap shows the picture itself (BT.601 limited range).
    const double Y = 1.164 * (In[I].At(0, 100, 10) - 16), V = In[I].At(2, 50, 5) - 128;
    EXPECT_NEAR(Seen[I].Red, std::clamp(Y + 1.596 * V, 0.0, 255.0), 8) << I;
    EXPECT_NEAR(Out[I].At(0, 48, 48), 81, 3) << I; // red's luma and V
    EXPECT_NEAR(Out[I].At(2, 24, 24), 240, 3) << I;
  }
  // Once stopped, the pictures go on as decoded.
  EXPECT_EQ(Out[3].Planes, In[3].Planes);
}

TEST_F(TFilterRunTest, HookModuleRunsInsideItsTimeRange) {
  Engine.SetHookRanges({{0, 100'000}});
  ASSERT_EQ(Convert("mpeg4_mp3.avi", {{"vhook", PELORIX_HOOK_INVERT}}), "");
  const auto In = Source("mpeg4_mp3.avi"), Out = Result();
  ASSERT_EQ(Out.size(), 10u);
  ASSERT_LE(In[1].Pts, 100'000);
  for (size_t I = 0; I < Out.size(); ++I) {
    if (In[I].Pts <= 100'000)
      EXPECT_EQ(Out[I].At(0, 7, 9), 255 - In[I].At(0, 7, 9)) << I;
    else
      EXPECT_EQ(Out[I].Planes, In[I].Planes) << I;
  }
}

} // namespace
} // namespace pelorix
