// The quality levels on real conversions: the values each level gives an entry's video
// encoder, read back from the encoder the run opened, and the sizes the levels write.
#include "EngineInternals.h"
#include "MediaTestSupport.h"
#include "OutputFormats.h"

#include <unistd.h>

#include <filesystem>

namespace pelorix {
namespace {

namespace fs = std::filesystem;
using enum TQualityLevel;

// What the run's video encoder was opened with, and its audio encoder's rate.
struct TOpenedVideo {
  std::string Codec;
  int64_t AudioBitRate = -1;
  int64_t BitRate = -1, MaxRate = -1;
  int BufferSize = -1;
  bool FixedQuantiser = false;
  int GlobalQuality = -1;
  std::string Crf, Preset, Deadline, CpuUsed, RowThreads; // the encoder's own options, as text
};

std::string PrivateOption(AVCodecContext* AEncoder, const char* AName) {
  uint8_t* Text = nullptr;
  if (AVUtil().av_opt_get(AEncoder->priv_data, AName, 0, &Text) < 0 || !Text) return "";
  TAvString Owned(reinterpret_cast<char*>(Text));
  return Owned.get();
}

class TQualityLevelsTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir = fs::temp_directory_path() /
          ("pelorix-quality-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }

  // Converts AClip with the entry's options at ALevel, as a task's run applies them, and keeps
  // the video encoder's settings from the run's first progress report.
  TOpenedVideo Convert(const std::string& AEntry, TQualityLevel ALevel,
                       const std::string& AClip = "h264_aac.mp4") {
    const TOutputFormat* Format = FindOutputFormat(AEntry);
    EXPECT_NE(Format, nullptr);
    TProbeSummary Summary;
    {
      TAVProbe Probe;
      EXPECT_TRUE(Probe.Open(test::TestMedia(AClip)));
      Summary = SummaryOf(Probe);
    }
    TTaskOutput Output = BuildTaskOutput(*Format, test::TestMedia(AClip), SourceFactsOf(Summary),
                                         false, Dir.string(), 1, {.Level = ALevel});
    LastOutput = Output.FileName;
    TOpenedVideo Opened;
    TCustomFFmpeg Engine;
    Engine.Reset();
    EXPECT_TRUE(Engine.OpenInputFile(test::TestMedia(AClip))) << Engine.LastErrorText();
    ApplyExtOptions(Engine, Output.Options.ExtOptions);
    ApplyOutputOptions(Engine, Output.Options);
    EXPECT_TRUE(Engine.OpenOutputFile(Output.FileName)) << Engine.LastErrorText();
    Engine.SetReportInterval(0);
    Engine.SetProgressCallback(
        [&Opened](TCustomFFmpeg& AEngine, int, int, int, float, float, int64_t, int) {
          if (!Opened.Codec.empty()) return;
          for (const auto& Stream : Internals(AEngine).Tables.OutputStreams) {
            AVCodecContext* Encoder = Stream->Encoder;
            if (Encoder && Encoder->codec_type == AVMEDIA_TYPE_AUDIO)
              Opened.AudioBitRate = Encoder->bit_rate;
            if (!Encoder || Encoder->codec_type != AVMEDIA_TYPE_VIDEO || !Encoder->codec) continue;
            Opened.Codec = Encoder->codec->name;
            Opened.BitRate = Encoder->bit_rate;
            Opened.MaxRate = Encoder->rc_max_rate;
            Opened.BufferSize = Encoder->rc_buffer_size;
            Opened.FixedQuantiser = (Encoder->flags & AV_CODEC_FLAG_QSCALE) != 0;
            Opened.GlobalQuality = Encoder->global_quality;
            Opened.Crf = PrivateOption(Encoder, "crf");
            Opened.Preset = PrivateOption(Encoder, "preset");
            Opened.Deadline = PrivateOption(Encoder, "deadline");
            Opened.CpuUsed = PrivateOption(Encoder, "cpu-used");
            Opened.RowThreads = PrivateOption(Encoder, "row-mt");
          }
        });
    Engine.Start(false, TConvertPriority::tpNormal);
    EXPECT_FALSE(Engine.ErrorOccurred()) << Engine.ErrorMessage();
    EXPECT_TRUE(Engine.Finished());
    return Opened;
  }

  uintmax_t LastSize() const { return fs::file_size(LastOutput); }

  fs::path Dir;
  std::string LastOutput;
};

TEST_F(TQualityLevelsTest, H264EntriesEncodeAtEachLevelsRateFactorWithTheCap) {
  struct TCase {
    TQualityLevel Level;
    const char* Crf;
    const char* Preset;
    int64_t AudioBitRate; // the clip's sound is stereo
  };
  for (const char* Entry : {"mp4", "mkv"})
    for (const TCase& Case : {TCase{qlSmaller, "27.000000", "veryfast", 64000},
                              TCase{qlBalanced, "20.500000", "veryfast", 128000},
                              TCase{qlBetter, "17.500000", "faster", 128000}}) {
      SCOPED_TRACE(std::string(Entry) + " " + QualityLevelName(Case.Level));
      const TOpenedVideo Opened = Convert(Entry, Case.Level);
      EXPECT_EQ(Opened.Codec, "libx264");
      EXPECT_EQ(Opened.Crf, Case.Crf);
      EXPECT_EQ(Opened.Preset, Case.Preset);
      EXPECT_EQ(Opened.BitRate, 0); // no rate: the rate factor rules
      // 160x120 is below the smallest cap.
      EXPECT_EQ(Opened.MaxRate, 500000);
      EXPECT_EQ(Opened.BufferSize, 1000000);
      EXPECT_EQ(Opened.AudioBitRate, Case.AudioBitRate);
    }
}

TEST_F(TQualityLevelsTest, Vp9EncodesAtConstantQualityWithoutARate) {
  const TOpenedVideo Balanced = Convert("webm", qlBalanced);
  EXPECT_EQ(Balanced.Codec, "libvpx-vp9");
  EXPECT_EQ(Balanced.BitRate, 0);
  EXPECT_EQ(Balanced.Crf, "37");
  EXPECT_EQ(Balanced.RowThreads, "true");
  EXPECT_EQ(Balanced.CpuUsed, "5");
  EXPECT_EQ(Balanced.Deadline, "1000000"); // good quality, not real time
  EXPECT_EQ(Balanced.AudioBitRate, 96000);
  const TOpenedVideo Smaller = Convert("webm", qlSmaller);
  EXPECT_EQ(Smaller.Crf, "46");
  EXPECT_EQ(Smaller.CpuUsed, "6");
  EXPECT_EQ(Smaller.AudioBitRate, 48000);
  const TOpenedVideo Better = Convert("webm", qlBetter);
  EXPECT_EQ(Better.Crf, "24");
  EXPECT_EQ(Better.CpuUsed, "4");
  EXPECT_EQ(Better.AudioBitRate, 96000);
}

TEST_F(TQualityLevelsTest, PhoneEntryUsesAFixedQuantiserPerLevel) {
  struct TCase {
    TQualityLevel Level;
    int Quantiser;
    int64_t AudioBitRate;
  };
  for (const TCase& Case :
       {TCase{qlSmaller, 12, 48000}, TCase{qlBalanced, 5, 96000}, TCase{qlBetter, 3, 96000}}) {
    SCOPED_TRACE(QualityLevelName(Case.Level));
    const TOpenedVideo Opened = Convert("3gp", Case.Level);
    EXPECT_EQ(Opened.Codec, "mpeg4");
    EXPECT_TRUE(Opened.FixedQuantiser);
    EXPECT_EQ(Opened.GlobalQuality, Case.Quantiser * FF_QP2LAMBDA);
    EXPECT_EQ(Opened.MaxRate, 400000);
    EXPECT_EQ(Opened.AudioBitRate, Case.AudioBitRate);
  }
}

TEST_F(TQualityLevelsTest, XviDRateScalesWithTheLevel) {
  EXPECT_EQ(Convert("avi", qlSmaller).BitRate, 1050000);
  EXPECT_EQ(Convert("avi", qlBalanced).BitRate, 1500000);
  const TOpenedVideo Better = Convert("avi", qlBetter);
  EXPECT_EQ(Better.Codec, "libxvid");
  EXPECT_EQ(Better.BitRate, 2250000);
  EXPECT_FALSE(Better.FixedQuantiser);
}

TEST_F(TQualityLevelsTest, EachLevelWritesMoreThanTheOneBelow) {
  for (const char* Entry : {"mp4", "webm", "3gp", "avi"}) {
    SCOPED_TRACE(Entry);
    Convert(Entry, qlSmaller, "camera.mp4");
    const uintmax_t Smaller = LastSize();
    Convert(Entry, qlBalanced, "camera.mp4");
    const uintmax_t Balanced = LastSize();
    Convert(Entry, qlBetter, "camera.mp4");
    const uintmax_t Better = LastSize();
    EXPECT_LT(Smaller, Balanced);
    EXPECT_LT(Balanced, Better);
  }
}

} // namespace
} // namespace pelorix
