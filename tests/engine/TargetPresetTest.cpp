// Target presets: how the norm is chosen, what each target sets, and that the settings really
// reach the encoders and the MPEG muxer of the output they are given before.
#include "EngineInternals.h"
#include "MediaTestSupport.h"

#include <unistd.h>

#include <filesystem>

namespace pelorix {
namespace {

using test::TLogLine;
using TLines = std::vector<TLogLine>;
using TNames = std::vector<std::string>;

class TTargetPresetTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Engine.Reset();
    Dir = std::filesystem::temp_directory_path() / ("pelorix-target-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override {
    Engine.Cleanup();
    std::filesystem::remove_all(Dir);
  }

  std::string ErrorOf(const std::string& AValue) {
    try {
      Engine.SetOption("target", AValue);
    } catch (const std::exception& E) {
      return E.what();
    }
    return "no error";
  }
  void Open(const std::string& AClip) {
    ASSERT_TRUE(Engine.OpenInputFile(test::TestMedia(AClip))) << Engine.LastErrorText();
  }
  // Opens AClip, gives the target named by AOutput's stem, then opens AOutput.
  void Convert(const std::string& AClip, const std::string& AOutput) {
    Open(AClip);
    Engine.SetOption("target", AOutput.substr(0, AOutput.find('.')));
    ASSERT_TRUE(Engine.OpenOutputFile((Dir / AOutput).string())) << Engine.LastErrorText();
  }
  AVCodecContext* Encoder(int AStream) {
    return Internals(Engine).StreamCodecs.Outputs[0].at(AStream).Encoder.get();
  }
  int64_t PrivateOption(void* AContext, const char* AName) {
    int64_t Value = -1;
    EXPECT_GE(AVUtil().av_opt_get_int(AContext, AName, AV_OPT_SEARCH_CHILDREN, &Value), 0) << AName;
    return Value;
  }
  // Size and rate of the next output, as "WxH@num/den".
  std::string Picture() {
    const TOptionState& O = Internals(Engine).Options;
    return std::to_string(O.FrameWidth) + "x" + std::to_string(O.FrameHeight) + "@" +
           std::to_string(O.FrameRate.num) + "/" + std::to_string(O.FrameRate.den);
  }

  TCustomFFmpeg Engine;
  std::filesystem::path Dir;
};

TEST_F(TTargetPresetTest, NormFromPrefixFrameRateCodecTimeBaseOrFallback) {
  EXPECT_EQ(ErrorOf("dvd"), "frame_rate is invalid."); // nothing to guess from
  test::TEngineRecorder Recorder(Engine);
  ASSERT_EQ(ErrorOf("pal-dvd"), "no error");
  EXPECT_EQ(Picture(), "720x576@25/1");
  EXPECT_FLOAT_EQ(Internals(Engine).Options.FrameAspectRatio, 16.0f / 9.0f);
  EXPECT_EQ(Recorder.LogLines(), (TLines{{1, "Assuming 16:9 for aspect ratio"}}));

  Engine.Reset();
  Open("ntsc.mp4"); // 30000/1001
  ASSERT_EQ(ErrorOf("dvd"), "no error");
  EXPECT_EQ(Picture(), "720x480@30000/1001");
  EXPECT_EQ(Recorder.LogLines().back(), (TLogLine{1, "Assuming NTSC for target."}));

  // "r" 30 names no norm; the codec time base 1/25 of MPEG-4 Part 2 at 25 fps does.
  Engine.Reset();
  Open("mpeg4_mp3.avi");
  Engine.SetOption("r", "30");
  ASSERT_EQ(ErrorOf("dvd"), "no error");
  EXPECT_EQ(Picture(), "720x576@25/1");
  EXPECT_EQ(Recorder.LogLines().back(), (TLogLine{1, "Assuming PAL for target."}));

  // H.264 at 25 fps has the codec time base 1/50: the fallback decides, quietly at "v" 0.
  Engine.Reset();
  Open("h264_aac.mp4");
  Engine.SetOption("v", "0");
  const size_t Lines = Recorder.LogLines().size();
  std::string Pictures;
  for (const char* Fallback : {"film", "pal", "ntsc"}) {
    Engine.SetOption("r", "30");
    Engine.SetTargetPreset("dvd", "auto", Fallback);
    Pictures += Picture() + " ";
  }
  EXPECT_EQ(Pictures, "720x480@24000/1001 720x576@25/1 720x480@30000/1001 ");
  EXPECT_EQ(Recorder.LogLines().size(), Lines);
}

TEST_F(TTargetPresetTest, ValueIsTrimmedAndTheTypeComparedExactly) {
  ASSERT_EQ(ErrorOf(" \tntsc-vcd  "), "no error");
  EXPECT_EQ(Picture(), "352x240@30000/1001");
  test::TEngineRecorder Recorder(Engine);
  EXPECT_EQ(ErrorOf("VCD"), "Unknown target type");
  EXPECT_EQ(Recorder.LogLines(), (TLines{{1, "Assuming NTSC for target."}})); // guessed first
}

TEST_F(TTargetPresetTest, SvcdChannelRuleAndItsLibraryNames) {
  Engine.SetOption("ac", "1");
  ASSERT_EQ(ErrorOf("pal-svcd"), "no error");
  EXPECT_EQ(Internals(Engine).Options.AudioChannels, 2);
  Engine.SetOption("ac", "6");
  ASSERT_EQ(ErrorOf("pal-svcd"), "no error");
  EXPECT_EQ(Internals(Engine).Options.AudioChannels, 6);
  // Each name lands under its installed spelling; none is dropped.
  const TNames Svcd{"g", "b", "maxrate", "minrate", "bufsize", "scan_offset", "ab", "packetsize"};
  TNames Twice = Svcd;
  Twice.insert(Twice.end(), Svcd.begin(), Svcd.end());
  EXPECT_EQ(Internals(Engine).LibOptions.OptNames, Twice);
}

TEST_F(TTargetPresetTest, DvPixelFormatFollowsNormAndKind) {
  ASSERT_EQ(ErrorOf("film-dv"), "no error");
  EXPECT_EQ(Internals(Engine).Options.FramePixFmt, AV_PIX_FMT_YUV411P);
  EXPECT_EQ(Picture(), "720x480@24000/1001");
  EXPECT_STREQ(Internals(Engine).Options.FileOutputFormat->name, "dv");
  ASSERT_EQ(ErrorOf("pal-dv"), "no error");
  EXPECT_EQ(Internals(Engine).Options.FramePixFmt, AV_PIX_FMT_YUV420P);
  ASSERT_EQ(ErrorOf("ntsc-dv50"), "no error");
  EXPECT_EQ(Internals(Engine).Options.FramePixFmt, AV_PIX_FMT_YUV422P);
  EXPECT_EQ(Internals(Engine).Options.FrameAspectRatio, 0);
}

TEST_F(TTargetPresetTest, DvdSettingsReachTheEncodersAndTheMuxer) {
  Convert("mpeg4_mp3.avi", "dvd.vob");
  EXPECT_STREQ(Internals(Engine).Files.OutputFiles[0]->oformat->name, "dvd");
  const AVCodecContext* Video = Encoder(0);
  EXPECT_EQ(Video->codec_id, AV_CODEC_ID_MPEG2VIDEO);
  EXPECT_EQ(Video->gop_size, 15);
  EXPECT_EQ(Video->bit_rate, 6000000);
  EXPECT_EQ(Video->rc_max_rate, 9000000);
  EXPECT_EQ(Video->rc_min_rate, 0);
  EXPECT_EQ(Video->rc_buffer_size, 1835008);
  EXPECT_EQ(std::to_string(Video->width) + "x" + std::to_string(Video->height), "720x576");
  EXPECT_EQ(Video->time_base.den, 25);
  const AVCodecContext* Audio = Encoder(1);
  EXPECT_EQ(Audio->codec_id, AV_CODEC_ID_AC3);
  EXPECT_EQ(Audio->bit_rate, 448000); // the video rates stay with the video encoder
  EXPECT_EQ(Audio->sample_rate, 48000);
  EXPECT_EQ(Audio->ch_layout.nb_channels, 2);
  AVFormatContext* Muxer = Internals(Engine).Files.OutputFiles[0].get();
  EXPECT_EQ(PrivateOption(Muxer, "muxrate"), 10080000);
  EXPECT_EQ(Muxer->packet_size, 2048u);
  EXPECT_EQ(PrivateOption(Muxer, "preload"), 500000);
}

TEST_F(TTargetPresetTest, VcdPreloadAndSvcdScanOffsetReachTheirContexts) {
  Convert("mpeg4_mp3.avi", "vcd.mpg");
  AVFormatContext* Muxer = Internals(Engine).Files.OutputFiles[0].get();
  EXPECT_EQ(PrivateOption(Muxer, "muxrate"), 1411200);
  EXPECT_EQ(Muxer->packet_size, 2324u);
  EXPECT_EQ(PrivateOption(Muxer, "preload"), 440000);
  EXPECT_EQ(Encoder(1)->codec_id, AV_CODEC_ID_MP2);

  Engine.Reset();
  Convert("mpeg4_mp3.avi", "svcd.mpg");
  EXPECT_EQ(Encoder(0)->codec_id, AV_CODEC_ID_MPEG2VIDEO);
  EXPECT_EQ(PrivateOption(Encoder(0), "scan_offset"), 1);
}

} // namespace
} // namespace pelorix
