// Option values that are parsed and checked before they reach the engine: times, maps,
// picture settings, bands, tags, matrices, statistics files and bitstream filters.
#include "EngineInternals.h"
#include "MediaTestSupport.h"

#include <regex>

namespace pelorix {
namespace {

using test::TEngineRecorder;

class TOptionHandlersTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Engine.Reset();
  }

  std::string ErrorOf(const std::string& AName, const std::string& AValue) {
    return test::OptionError(Engine, AName, AValue);
  }

  TCustomFFmpeg Engine;
};

TEST_F(TOptionHandlersTest, RecordingTimeIsKeptIn64Bits) {
  Engine.SetOption("t", "00:40:00");
  EXPECT_EQ(Internals(Engine).Options.RecordingTime, 2400000000LL);
  EXPECT_EQ(Engine.RecordingDuration(), 2400000);
  Engine.SetOption("t", "0");
  Engine.SetOption("t", "0.0004"); // below a millisecond
  EXPECT_EQ(Internals(Engine).Options.RecordingTime, 2400000000LL);
  EXPECT_EQ(ErrorOf("t", "soon"), "Invalid duration specification for t: soon");
  Engine.SetOption("t", "1000:00:00"); // more milliseconds than the field holds
  EXPECT_EQ(Internals(Engine).Options.RecordingTime, 3600000000000LL);
  EXPECT_EQ(Engine.RecordingDuration(), INT32_MAX);
}

TEST_F(TOptionHandlersTest, StartOffsetAndTimestamp) {
  Engine.SetOption("ss", "1.5");
  Engine.SetOption("itsoffset", "-2");
  EXPECT_EQ(Internals(Engine).Options.StartTime, 1500000);
  EXPECT_EQ(Internals(Engine).Options.InputTsOffsetOption, -2000000);
  // Seconds rounded to the nearest, halves to even.
  Engine.SetOption("timestamp", "2000-01-01 00:00:01.5Z");
  EXPECT_EQ(Internals(Engine).Options.RecTimestamp, 946684802);
  Engine.SetOption("timestamp", "2000-01-01 00:00:00.5Z");
  EXPECT_EQ(Internals(Engine).Options.RecTimestamp, 946684800);
  EXPECT_EQ(ErrorOf("timestamp", "yesterday"),
            "Invalid date specification for timestamp: yesterday");
}

TEST_F(TOptionHandlersTest, StreamMapForms) {
  for (const char* Value : {"0.1", "0.1:1.0", "0x1.2", "", "2:3;4,5"})
    Engine.SetOption("map", Value);
  ASSERT_EQ(Internals(Engine).Files.StreamMapCount, 5);
  auto Map = [this](int AIndex) {
    const TStreamMap& M = Internals(Engine).Files.StreamMaps[AIndex];
    return std::vector<int>{M.FileIndex, M.StreamIndex, M.SyncFileIndex, M.SyncStreamIndex};
  };
  EXPECT_EQ(Map(0), (std::vector<int>{0, 1, 0, 1}));
  EXPECT_EQ(Map(1), (std::vector<int>{0, 1, 1, 0}));
  EXPECT_EQ(Map(2), (std::vector<int>{1, 2, 1, 2}));
  EXPECT_EQ(Map(3), (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(Map(4), (std::vector<int>{2, 3, 4, 5}));
  Engine.SetOption("map_meta_data", "1:0");
  EXPECT_EQ(Internals(Engine).Files.MetaDataMaps[0].OutFile, 1);
  EXPECT_EQ(Internals(Engine).Files.MetaDataMaps[0].InFile, 0);
}

TEST_F(TOptionHandlersTest, MapTablesDoNotOverflow) {
  for (int Index = 0; Index < MaxStreamMaps; ++Index) Engine.SetOption("map", "0.0");
  EXPECT_EQ(ErrorOf("map", "0.0"), "Too many stream maps (at most 400)");
  EXPECT_EQ(Internals(Engine).Files.StreamMapCount, MaxStreamMaps);
  for (int Index = 0; Index < MaxFiles; ++Index) Engine.SetOption("map_meta_data", "0:0");
  EXPECT_EQ(ErrorOf("map_meta_data", "0:0"), "Too many meta data maps (at most 20)");
}

TEST_F(TOptionHandlersTest, TimestampScaleOfTheNextInput) {
  EXPECT_EQ(ErrorOf("itsscale", "20:2"), "stream index over MAX_STREAMS(20)");
  EXPECT_EQ(ErrorOf("itsscale", "-1:2"), "stream index over MAX_STREAMS(20)");
  for (const auto& Row : Internals(Engine).Files.InputTsScale)
    for (double Scale : Row) EXPECT_EQ(Scale, 0.0);
  Engine.SetOption("itsscale", "1:0.5");
  EXPECT_EQ(Internals(Engine).Files.InputTsScale[0][1], 0.5);
}

TEST_F(TOptionHandlersTest, FrameRateAndSize) {
  Engine.SetOption("r", "ntsc");
  EXPECT_EQ(Internals(Engine).Options.FrameRate.num, 30000);
  EXPECT_EQ(Internals(Engine).Options.FrameRate.den, 1001);
  Engine.SetOption("r", "");
  EXPECT_EQ(Internals(Engine).Options.FrameRate.num, 30000);
  EXPECT_EQ(ErrorOf("r", "fast"), "Incorrect frame rate");
  Engine.SetOption("s", "cif");
  EXPECT_EQ(Internals(Engine).Options.FrameWidth, 352);
  EXPECT_EQ(Internals(Engine).Options.FrameHeight, 288);
  EXPECT_EQ(ErrorOf("s", "big"), "Incorrect frame size");
  EXPECT_EQ(ErrorOf("s", "321x240"), "Frame size must be a multiple of 2");
  EXPECT_EQ(Internals(Engine).Options.FrameWidth, 321); // kept although refused
}

TEST_F(TOptionHandlersTest, AspectRatioForms) {
  Engine.SetOption("aspect", "16:9");
  EXPECT_FLOAT_EQ(Internals(Engine).Options.FrameAspectRatio, 1.7777778f);
  Engine.SetOption("aspect", "-4:3");
  EXPECT_FLOAT_EQ(Internals(Engine).Options.FrameAspectRatio, -4.0f / 3.0f);
  Engine.SetOption("aspect", "1.5");
  EXPECT_FLOAT_EQ(Internals(Engine).Options.FrameAspectRatio, 1.5f);
  for (const char* Value : {"4:0", "4:-3", "0", "wide", "a:3"})
    EXPECT_EQ(ErrorOf("aspect", Value), "Incorrect aspect ratio specification.") << Value;
  Engine.SetOption("aspect", "");
  EXPECT_FLOAT_EQ(Internals(Engine).Options.FrameAspectRatio, 1.5f);
}

TEST_F(TOptionHandlersTest, PixelAndSampleFormats) {
  Engine.SetOption("pix_fmt", "rgb24");
  Engine.SetOption("sample_fmt", "s16");
  EXPECT_EQ(Internals(Engine).Options.FramePixFmt, AV_PIX_FMT_RGB24);
  EXPECT_EQ(Internals(Engine).Options.AudioSampleFmt, AV_SAMPLE_FMT_S16);
  Engine.SetOption("pix_fmt", "list"); // nobody listens: nothing happens
  EXPECT_EQ(Internals(Engine).Options.FramePixFmt, AV_PIX_FMT_RGB24);
  Engine.SetOption("pix_fmt", "no_such_format");
  Engine.SetOption("sample_fmt", "");
  EXPECT_EQ(Internals(Engine).Options.FramePixFmt, AV_PIX_FMT_NONE);
  EXPECT_EQ(Internals(Engine).Options.AudioSampleFmt, AV_SAMPLE_FMT_NONE);

  TEngineRecorder Recorder(Engine);
  Engine.SetOption("pix_fmt", "list");
  Engine.SetOption("sample_fmt", "list");
  const auto Lines = Recorder.LogLines();
  ASSERT_EQ(Lines.size(), static_cast<size_t>(1 + AV_PIX_FMT_NB + 1 + AV_SAMPLE_FMT_NB));
  EXPECT_EQ(Lines[0].Text, "name nb_components nb_bits");
  EXPECT_EQ(Lines[1].Text.substr(0, 8), "yuv420p ");
  EXPECT_EQ(Lines[1 + AV_PIX_FMT_NB].Text, "name   depth");
  for (const auto& Line : Lines) {
    EXPECT_EQ(Line.Level, 1);
    EXPECT_NE(Line.Text.back(), ' ') << Line.Text;
  }
  EXPECT_EQ(Internals(Engine).Options.FramePixFmt, AV_PIX_FMT_NONE);
}

TEST_F(TOptionHandlersTest, QscaleRange) {
  Engine.SetOption("qscale", "255");
  EXPECT_FLOAT_EQ(Internals(Engine).Options.VideoQscale, 255.0f);
  EXPECT_EQ(ErrorOf("qscale", "0"), "qscale must be > 0.0 and <= 255");
  EXPECT_EQ(ErrorOf("qscale", "255.5"), "qscale must be > 0.0 and <= 255");
  EXPECT_THROW(Engine.SetOption("qscale", "fine"), TConvertError);
}

TEST_F(TOptionHandlersTest, CropActsOnTheSizeAlreadyKnown) {
  EXPECT_EQ(ErrorOf("croptop", "2"),
            "Vertical crop dimensions are outside the range of the original image.\n"
            "Remember to crop first and scale second.");
  Engine.SetOption("s", "640x480");
  Engine.SetOption("croptop", "2");
  Engine.SetOption("cropbottom", "-2");
  EXPECT_EQ(Internals(Engine).Options.FrameTopBand, 2);
  EXPECT_EQ(Internals(Engine).Options.FrameBottomBand, 0);
  EXPECT_EQ(Internals(Engine).Options.FrameHeight, 478);
  EXPECT_EQ(ErrorOf("croptop", "3"), "Top crop size must be a multiple of 2");
  Engine.SetOption("cropright", "40");
  EXPECT_EQ(Internals(Engine).Options.FrameRightBand, 40);
  EXPECT_EQ(Internals(Engine).Options.FrameWidth, 600);
  EXPECT_EQ(ErrorOf("cropleft", "600"),
            "Horizontal crop dimensions are outside the range of the original image.\n"
            "Remember to crop first and scale second.");
}

TEST_F(TOptionHandlersTest, PadBandsAndColour) {
  Engine.SetOption("padleft", "8");
  Engine.SetOption("padbottom", "-4");
  EXPECT_EQ(Internals(Engine).Options.FramePadLeft, 8);
  EXPECT_EQ(Internals(Engine).Options.FramePadBottom, 0);
  EXPECT_EQ(ErrorOf("padright", "5"), "Right pad size must be a multiple of 2");
  const std::pair<const char*, std::array<int32_t, 3>> Colours[] = {{"0", {0, 128, 128}},
                                                                    {"16777215", {255, 128, 128}},
                                                                    {"255", {76, 85, 255}},
                                                                    {"$FF0000", {29, 255, 107}}};
  for (const auto& [Value, Yuv] : Colours) {
    Engine.SetOption("padcolor", Value);
    EXPECT_EQ(Internals(Engine).Options.PadColor, Yuv) << Value;
  }
}

TEST_F(TOptionHandlersTest, FourCharacterTags) {
  Engine.SetOption("atag", "XVID");
  EXPECT_EQ(Internals(Engine).Options.AudioCodecTag, 0x44495658u); // 'X' in the lowest byte
  Engine.SetOption("vtag", "");
  EXPECT_EQ(Internals(Engine).Options.VideoCodecTag, 0u);
  try {
    Engine.SetOption("atag", "XVI");
    FAIL() << "no error";
  } catch (const TAssertionFailure& E) {
    EXPECT_EQ(std::string(E.what()).rfind("audio tag parameter must be 4 chars", 0), 0u);
  }
  EXPECT_EQ(ErrorOf("vtag", "DIVX5"), "video tag parameter must be 4 chars");
  EXPECT_EQ(ErrorOf("pass", "3"), "pass number can be only 1 or 2");
}

TEST_F(TOptionHandlersTest, QuantiserMatrices) {
  std::string Values;
  for (int Index = 1; Index <= 64; ++Index)
    Values += (Index > 1 ? "," : "") + std::to_string(Index);
  Engine.SetOption("intra_matrix", " $10, 0x11 ,+18x," + Values.substr(Values.find("4,")));
  const uint16_t* Intra = Internals(Engine).Options.IntraMatrix.get();
  EXPECT_EQ((std::vector<uint16_t>{Intra[0], Intra[1], Intra[2], Intra[3], Intra[63]}),
            (std::vector<uint16_t>{16, 17, 18, 4, 64}));
  Engine.SetOption("intra_matrix", Values + ",99"); // replaces the first; extras ignored
  EXPECT_EQ(Internals(Engine).Options.IntraMatrix.get()[63], 64);
  EXPECT_EQ(ErrorOf("inter_matrix", "1,2,3"), "Syntax error in matrix \"1,2,3\" at coeff 2");
  const uint16_t* Inter = Internals(Engine).Options.InterMatrix.get();
  EXPECT_EQ((std::vector<uint16_t>{Inter[0], Inter[1], Inter[2], Inter[3]}),
            (std::vector<uint16_t>{1, 2, 3, 0}));
}

TEST_F(TOptionHandlersTest, StatisticsFileNames) {
  Engine.SetOption("vstats", "");
  const std::string Name = Internals(Engine).Settings.VstatsFileName.get();
  EXPECT_TRUE(std::regex_match(Name, std::regex(".*/tests/vstats_[0-9]{6}\\.log"))) << Name;
  Engine.SetOption("vstats_file", "/tmp/frames.log");
  EXPECT_STREQ(Internals(Engine).Settings.VstatsFileName.get(), "/tmp/frames.log");
}

TEST_F(TOptionHandlersTest, BitstreamFiltersWaitInTheirKindsChain) {
  Engine.SetOption("vbsf", "h264_mp4toannexb=1");
  Engine.SetOption("vbsf", "dump_extra");
  Engine.SetOption("absf", "aac_adtstoasc");
  Engine.SetOption("sbsf", "=null");
  Engine.SetOption("sbsf", "");
  EXPECT_EQ(Internals(Engine).Files.VideoBitstreamFilters,
            (TBitstreamFilterChain{"h264_mp4toannexb", "dump_extra"}));
  EXPECT_EQ(Internals(Engine).Files.AudioBitstreamFilters, TBitstreamFilterChain{"aac_adtstoasc"});
  EXPECT_TRUE(Internals(Engine).Files.SubtitleBitstreamFilters.empty());
  EXPECT_EQ(ErrorOf("sbsf", " unknown_bsf=3 "), "Unknown bitstream filter unknown_bsf=3");
}

} // namespace
} // namespace pelorix
