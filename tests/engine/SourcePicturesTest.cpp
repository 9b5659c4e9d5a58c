// Pictures as they play: turned as the display matrix says when they are re-encoded, kept with
// the matrix when they are copied, and field-coded pictures deinterlaced ("deinterlace_fields")
// or, for an encoder that codes fields, scaled field by field. Real conversions of generated
// clips, checked by the pixels of the written pictures.
#include "SourcePictures.h"
#include "DecodedVideo.h"
#include "MediaFacts.h"
#include "MediaTestSupport.h"
#include "PlaybackChecks.h"

#include <algorithm>
#include <filesystem>

namespace pelorix {
namespace {

using TSettings = std::vector<std::pair<std::string, std::string>>;

struct TMatrixCase {
  const char* Name;
  int32_t A, B, C, D; // in units of 1.0 (16.16 fixed point)
  TPictureTurn Turn;
};

void PrintTo(const TMatrixCase& ACase, std::ostream* AStream) { *AStream << ACase.Name; }

class TSourceFilterTextTest : public ::testing::TestWithParam<TMatrixCase> {
protected:
  void SetUp() override { test::RequireMediaLibraries(); }
};

// Each stored sample (p, q) shows at (a p + c q, b p + d q), moved into the picture: the turn
// read from the matrix and the filters made for it put every sample of a 6x4 picture there.
TEST_P(TSourceFilterTextTest, EverySampleLandsWhereTheMatrixPutsIt) {
  const TMatrixCase& Case = GetParam();
  int32_t Matrix[9] = {Case.A * 65536, Case.B * 65536, 0, Case.C * 65536, Case.D * 65536, 0, 0, 0,
                       1 << 30};
  const TPictureTurn Turn = TurnOfMatrix(Matrix);
  EXPECT_EQ(Turn, Case.Turn);

  constexpr int Width = 6, Height = 4;
  const auto Value = [](int AX, int AY) { return 10 + AX * 10 + AY * 60; };
  TFramePtr Stored(AVUtil().av_frame_alloc());
  Stored->format = AV_PIX_FMT_GRAY8;
  Stored->width = Width;
  Stored->height = Height;
  ASSERT_GE(AVUtil().av_frame_get_buffer(Stored.get(), 0), 0);
  for (int Y = 0; Y < Height; ++Y)
    for (int X = 0; X < Width; ++X)
      Stored->data[0][Y * Stored->linesize[0] + X] = static_cast<uint8_t>(Value(X, Y));
  TVideoFilterGraph Graph;
  ASSERT_EQ(Graph.Build({Width, Height, AV_PIX_FMT_GRAY8, {1, 1}}, 0, 0,
                        SourceFilterText(Turn, false), AV_PIX_FMT_GRAY8),
            0);
  ASSERT_EQ(Graph.Send(*Stored, 0, {1, 1}), 0);
  ASSERT_EQ(Graph.Close(40000), 0);
  TFramePtr Shown(AVUtil().av_frame_alloc());
  int64_t Pts = 0;
  ASSERT_EQ(Graph.Receive(Shown.get(), Pts), 1);
  const bool Swapped = Case.A == 0;
  ASSERT_EQ(Shown->width, Swapped ? Height : Width);
  ASSERT_EQ(Shown->height, Swapped ? Width : Height);
  EXPECT_EQ(Turn.SwapsSides(), Swapped);

  // Sample centres through the matrix; the least coordinate becomes the first column or row.
  const auto Shows = [&](int AX, int AY) {
    const double X = AX + 0.5, Y = AY + 0.5;
    return std::pair{Case.A * X + Case.C * Y, Case.B * X + Case.D * Y};
  };
  double MinX = 1e9, MinY = 1e9;
  for (const auto& [X, Y] : {Shows(0, 0), Shows(Width - 1, Height - 1)}) {
    MinX = std::min(MinX, X);
    MinY = std::min(MinY, Y);
  }
  for (int Y = 0; Y < Height; ++Y)
    for (int X = 0; X < Width; ++X) {
      const auto [ShownX, ShownY] = Shows(X, Y);
      const int Column = static_cast<int>(ShownX - MinX), Row = static_cast<int>(ShownY - MinY);
      EXPECT_EQ(Shown->data[0][Row * Shown->linesize[0] + Column], Value(X, Y))
          << "stored " << X << "," << Y;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matrices, TSourceFilterTextTest,
    ::testing::Values(TMatrixCase{"None", 1, 0, 0, 1, {0, false}},
                      TMatrixCase{"Clockwise", 0, 1, -1, 0, {90, false}},
                      TMatrixCase{"HalfRound", -1, 0, 0, -1, {180, false}},
                      TMatrixCase{"Counterclockwise", 0, -1, 1, 0, {270, false}},
                      TMatrixCase{"MirroredLeftToRight", -1, 0, 0, 1, {0, true}},
                      TMatrixCase{"UpsideDown", 1, 0, 0, -1, {180, true}},
                      TMatrixCase{"Transposed", 0, 1, 1, 0, {270, true}},
                      TMatrixCase{"AntiTransposed", 0, -1, -1, 0, {90, true}}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

class TSourcePicturesTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir = std::filesystem::temp_directory_path() /
          ("pelorix-source-pictures-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::string Out(const std::string& AName) const { return (Dir / AName).string(); }

  // Converts AClip into AOutput with ASettings given after the input opened; the run's error,
  // if any. AEngine's log goes to ARecorder's owner.
  std::string Convert(const std::string& AClip, const TSettings& ASettings,
                      const std::string& AOutput, std::vector<test::TLogLine>* ALog = nullptr) {
    TCustomFFmpeg Engine;
    test::TEngineRecorder Recorder(Engine);
    Engine.Reset();
    if (!Engine.OpenInputFile(test::TestMedia(AClip))) return "input: " + Engine.LastErrorText();
    for (const auto& [Name, Value] : ASettings) Engine.SetOption(Name, Value);
    if (!Engine.OpenOutputFile(Out(AOutput))) return "output: " + Engine.LastErrorText();
    Engine.Start(false, TConvertPriority::tpNormal);
    if (ALog) *ALog = Recorder.LogLines();
    return Engine.ErrorOccurred() ? Engine.ErrorMessage() : std::string();
  }

  std::filesystem::path Dir;
};

struct TTurnCase {
  const char* Clip;
  int Rotation; // clockwise
  int Corner; // where the stored top left corner shows (0 top left, 1 top right, ...)
};

void PrintTo(const TTurnCase& ACase, std::ostream* AStream) { *AStream << ACase.Clip; }

class TTurnedClipTest : public TSourcePicturesTest,
                        public ::testing::WithParamInterface<TTurnCase> {};

TEST_P(TTurnedClipTest, ReEncodedPlaysTurnedCopiedKeepsTheMatrix) {
  const TTurnCase& Case = GetParam();
  const bool Swapped = Case.Rotation != 180;

  // Re-encoded: the pictures themselves are turned, and nothing turns them again.
  ASSERT_EQ(Convert(Case.Clip, {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"an", ""}}, "turned.mp4"),
            "");
  const test::TDecodedVideo Turned = test::DecodeVideo(Out("turned.mp4"));
  ASSERT_EQ(Turned.Pictures.size(), 25u);
  for (const test::TDecodedPicture& Picture : {Turned.Pictures.front(), Turned.Pictures.back()}) {
    EXPECT_EQ(Picture.Width, Swapped ? 96 : 160);
    EXPECT_EQ(Picture.Height, Swapped ? 160 : 96);
    EXPECT_EQ(test::BrightCorner(Picture), Case.Corner);
  }
  EXPECT_TRUE(test::ReadFileTags(Out("turned.mp4")).Turn.IsNone());

  // Copied into MP4: the stored pictures with the source's matrix.
  ASSERT_EQ(Convert(Case.Clip, {{"vcodec", "copy"}, {"an", ""}}, "copy.mp4"), "");
  EXPECT_EQ(test::ReadFileTags(Out("copy.mp4")).Turn, (TPictureTurn{Case.Rotation, false}));
  const test::TDecodedVideo Copied = test::DecodeVideo(Out("copy.mp4"), 1);
  ASSERT_EQ(Copied.Pictures.size(), 1u);
  EXPECT_EQ(Copied.Pictures[0].Width, 160);
  EXPECT_EQ(test::BrightCorner(Copied.Pictures[0]), 0);

  // Copied into a container that cannot say it: the copy is made, and the log says so.
  std::vector<test::TLogLine> Log;
  ASSERT_EQ(Convert(Case.Clip, {{"vcodec", "copy"}, {"an", ""}}, "copy.mkv", &Log), "");
  EXPECT_NE(std::find(Log.begin(), Log.end(),
                      test::TLogLine{0, "Output stream #0.0: the matroska muxer keeps no display "
                                        "matrix: the copied pictures play as stored, unturned"}),
            Log.end());
}

INSTANTIATE_TEST_SUITE_P(Clips, TTurnedClipTest,
                         ::testing::Values(TTurnCase{"rotate90.mp4", 90, 1},
                                           TTurnCase{"rotate180.mp4", 180, 3},
                                           TTurnCase{"rotate270.mp4", 270, 2}),
                         [](const auto& AInfo) { return std::to_string(AInfo.param.Rotation); });

// A size asked for is the played picture's: the turned picture is scaled to it.
TEST_F(TSourcePicturesTest, AskedSizeIsThePlayedPictures) {
  ASSERT_EQ(
      Convert("rotate90.mp4", {{"vcodec", "mpeg4"}, {"s", "192x320"}, {"an", ""}}, "scaled.mkv"),
      "");
  const test::TDecodedVideo Scaled = test::DecodeVideo(Out("scaled.mkv"), 1);
  ASSERT_EQ(Scaled.Pictures.size(), 1u);
  EXPECT_EQ(Scaled.Pictures[0].Width, 192);
  EXPECT_EQ(Scaled.Pictures[0].Height, 320);
  EXPECT_EQ(test::BrightCorner(Scaled.Pictures[0]), 1);
}

// Pictures the decoder does not mark as field-coded pass the deinterlacer untouched.
TEST_F(TSourcePicturesTest, ProgressivePicturesPassTheDeinterlacerUntouched) {
  const TSettings Encode{{"vcodec", "mpeg4"}, {"qscale", "2"}, {"an", ""}};
  ASSERT_EQ(Convert("mpeg4_aac.3gp", Encode, "plain.mkv"), "");
  TSettings Deinterlaced = Encode;
  Deinterlaced.emplace_back("deinterlace_fields", "");
  ASSERT_EQ(Convert("mpeg4_aac.3gp", Deinterlaced, "passed.mkv"), "");
  const test::TDecodedVideo Plain = test::DecodeVideo(Out("plain.mkv"));
  const test::TDecodedVideo Passed = test::DecodeVideo(Out("passed.mkv"));
  ASSERT_EQ(Plain.Pictures.size(), 30u);
  ASSERT_EQ(Passed.Pictures.size(), Plain.Pictures.size());
  for (size_t I = 0; I < Plain.Pictures.size(); ++I)
    EXPECT_EQ(test::LumaDifference(Plain.Pictures[I], Passed.Pictures[I]), 0) << I;
}

// An encoder that codes fields (a DVD's) gets a field-coded picture scaled field by field: the
// fields stay apart, in the source's order. Scaled as one picture they would run together.
TEST_F(TSourcePicturesTest, FieldCodingEncoderGetsFieldsScaledApart) {
  ASSERT_EQ(
      Convert("interlaced.mkv", {{"target", "pal-dvd"}, {"flags", "+ildct+ilme"}}, "fields.mpg"),
      "");
  ASSERT_EQ(Convert("interlaced.mkv", {{"target", "pal-dvd"}}, "frames.mpg"), "");
  const test::TDecodedVideo Fields = test::DecodeVideo(Out("fields.mpg"));
  const test::TDecodedVideo Frames = test::DecodeVideo(Out("frames.mpg"));
  ASSERT_EQ(Fields.Pictures.size(), 50u);
  for (const test::TDecodedPicture& Picture : Fields.Pictures) {
    EXPECT_EQ(Picture.Height, 576);
    EXPECT_TRUE(Picture.Interlaced);
    EXPECT_TRUE(Picture.TopFieldFirst);
  }
  EXPECT_GT(test::MeanCombEnergy(Fields), 3 * test::MeanCombEnergy(Frames));
}

} // namespace
} // namespace pelorix
