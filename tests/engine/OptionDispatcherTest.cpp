// Options given by name: the engine's own table, number conversions, and the settings parked
// for the libraries until a real encoder or muxer takes them.
#include "EngineInternals.h"
#include "MediaTestSupport.h"

namespace pelorix {
namespace {

using test::TEngineRecorder;
using test::TLogLine;

class TOptionDispatcherTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Engine.Reset();
  }

  // A real encoder context receiving the parked settings of AKind.
  TCodecContextPtr Encoder(const char* AName, int AKind, int AFlags) {
    const ::AVCodec* Codec = AVCodec().avcodec_find_encoder_by_name(AName);
    EXPECT_NE(Codec, nullptr) << AName;
    TCodecContextPtr Context(AVCodec().avcodec_alloc_context3(Codec));
    Engine.SetContextOptions(Context.get(), Internals(Engine).LibOptions.CodecOptions[AKind].get(),
                             AFlags);
    return Context;
  }

  int64_t IntOption(void* AContext, const char* AName) {
    int64_t Value = 0;
    EXPECT_GE(AVUtil().av_opt_get_int(AContext, AName, AV_OPT_SEARCH_CHILDREN, &Value), 0) << AName;
    return Value;
  }

  std::string ErrorOf(const std::string& AName, const std::string& AValue) {
    return test::OptionError(Engine, AName, AValue);
  }

  TCustomFFmpeg Engine;
};

TEST_F(TOptionDispatcherTest, NamesAreCaseSensitiveAndUnknownOnesAreDropped) {
  TEngineRecorder Recorder(Engine);
  Engine.SetOption("Version", "");
  Engine.SetOption("no_such_option", "1");
  EXPECT_TRUE(Internals(Engine).LibOptions.OptNames.empty());
  EXPECT_TRUE(Recorder.LogLines().empty());
  Engine.SetOption("version", "");
  EXPECT_EQ(Recorder.LogLines(), (std::vector<TLogLine>{{1, "Do nothing: option - version"}}));
}

TEST_F(TOptionDispatcherTest, DoNothingOptionsOnlyLogWhenSomeoneListens) {
  Engine.SetOption("benchmark", "whatever"); // no callback: silent
  TEngineRecorder Recorder(Engine);
  for (const char* Name : {"benchmark", "L", "apre"}) Engine.SetOption(Name, "");
  EXPECT_EQ(Recorder.LogLines(), (std::vector<TLogLine>{{1, "Do nothing: option - benchmark"},
                                                        {1, "Do nothing: option - L"},
                                                        {1, "Do nothing: option - apre"}}));
}

TEST_F(TOptionDispatcherTest, ThreadsIsRefused) {
  EXPECT_THROW(Engine.SetOption("threads", "4"), FFMpegException);
  EXPECT_EQ(ErrorOf("threads", "4"), "TODO: option - threads");
  EXPECT_EQ(Internals(Engine).Options.ThreadCount, 1);
}

TEST_F(TOptionDispatcherTest, NumbersConvertOrFailWithTheirTexts) {
  Engine.SetOption("vframes", " 25");
  EXPECT_EQ(Internals(Engine).Options.MaxFrames[0], 25);
  Engine.SetOption("aframes", "$1F");
  EXPECT_EQ(Internals(Engine).Options.MaxFrames[1], 31);
  Engine.SetOption("dframes", "-0x10");
  EXPECT_EQ(Internals(Engine).Options.MaxFrames[2], -16);
  Engine.SetOption("fs", "4294967296");
  EXPECT_EQ(Internals(Engine).Settings.LimitFileSize, 4294967296LL);
  Engine.SetOption("adrift_threshold", "0.25");
  EXPECT_FLOAT_EQ(Internals(Engine).Settings.AudioDriftThreshold, 0.25f);

  EXPECT_THROW(Engine.SetOption("vframes", "12x"), TConvertError);
  EXPECT_EQ(ErrorOf("vframes", "12x"), "'12x' is not a valid integer value");
  EXPECT_EQ(ErrorOf("vframes", ""), "'' is not a valid integer value");
  EXPECT_EQ(ErrorOf("vframes", "3000000000"), "'3000000000' is not a valid integer value");
  EXPECT_EQ(ErrorOf("fs", "1e3"), "'1e3' is not a valid integer value");
  EXPECT_EQ(ErrorOf("muxdelay", "fast"), "'fast' is not a valid floating point value");
  EXPECT_EQ(ErrorOf("muxdelay", "inf"), "'inf' is not a valid floating point value");
  EXPECT_EQ(Internals(Engine).Options.MaxFrames[0], 25); // failures change nothing
}

TEST_F(TOptionDispatcherTest, FieldRulesOfTheTable) {
  Engine.SetOption("ar", "0");
  Engine.SetOption("ar", "-1");
  Engine.SetOption("ac", "0");
  EXPECT_EQ(Internals(Engine).Options.AudioSampleRate, 44100);
  EXPECT_EQ(Internals(Engine).Options.AudioChannels, 2);
  Engine.SetOption("ar", "22050");
  EXPECT_EQ(Internals(Engine).Options.AudioSampleRate, 22050);
  Engine.SetOption("vol", "-5");
  EXPECT_EQ(Internals(Engine).Settings.AudioVolume, -5);
  Engine.SetOption("title", "First");
  Engine.SetOption("title", "");
  EXPECT_EQ(Internals(Engine).Options.Title, "First");
  Engine.SetOption("shortest", "ignored");
  EXPECT_EQ(Internals(Engine).Settings.Shortest, 1);
  Engine.SetOption("tvstd", "ntsc");
  EXPECT_STREQ(Internals(Engine).Options.VideoStandard.get(), "ntsc");
}

TEST_F(TOptionDispatcherTest, VerbositySetsTheLibrariesLevel) {
  Engine.SetOption("v", "0");
  EXPECT_EQ(Internals(Engine).Settings.Verbose, 0);
  EXPECT_EQ(MediaLogLevel, 0);
  EXPECT_EQ(AVUtil().av_log_get_level(), AV_LOG_ERROR);
  // A debug setting of the libraries turns the engine's verbosity up as well.
  EXPECT_TRUE(Engine.SetLibraryOption("debug", "1"));
  EXPECT_EQ(Internals(Engine).Settings.Verbose, 2);
  EXPECT_EQ(MediaLogLevel, 2);
  EXPECT_EQ(AVUtil().av_log_get_level(), AV_LOG_DEBUG);
}

TEST_F(TOptionDispatcherTest, LibraryOptionGivenTwiceIsAppliedWithTheLastValue) {
  Engine.SetOption("g", "10");
  Engine.SetOption("g", "20");
  EXPECT_EQ(std::count(Internals(Engine).LibOptions.OptNames.begin(),
                       Internals(Engine).LibOptions.OptNames.end(), "g"),
            2);
  auto Context = Encoder("mpeg4", ckVideo, AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(Context->gop_size, 20);
}

TEST_F(TOptionDispatcherTest, BlankNamesAndValuesAreNotHandedOn) {
  EXPECT_FALSE(Engine.SetLibraryOption("  ", "1"));
  EXPECT_FALSE(Engine.SetLibraryOption("g", " "));
  EXPECT_TRUE(Internals(Engine).LibOptions.OptNames.empty());
}

TEST_F(TOptionDispatcherTest, FirstLetterNamesTheKind) {
  EXPECT_TRUE(Engine.SetLibraryOption("aqmin", "7"));
  EXPECT_EQ(Internals(Engine).LibOptions.OptNames, std::vector<std::string>{"qmin"});
  EXPECT_EQ(IntOption(Internals(Engine).LibOptions.CodecOptions[ckAudio].get(), "qmin"), 7);
  EXPECT_EQ(IntOption(Internals(Engine).LibOptions.CodecOptions[ckVideo].get(), "qmin"), 2);
}

TEST_F(TOptionDispatcherTest, EachEncoderGetsOnlyTheBitRateOfItsKind) {
  TEngineRecorder Recorder(Engine);
  Engine.SetOption("ab", "64000");
  Engine.SetOption("b", "1500000"); // the libraries also mark "b" as an audio option
  EXPECT_TRUE(Recorder.LogLines().empty());
  const int Video = AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM;
  const int Audio = AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM;
  EXPECT_EQ(Encoder("mpeg4", ckVideo, Video)->bit_rate, 1500000);
  EXPECT_EQ(Encoder("mp2", ckAudio, Audio)->bit_rate, 64000);
}

TEST_F(TOptionDispatcherTest, LowBitRateWarnsForItsOwnKind) {
  TEngineRecorder Recorder(Engine);
  const TLogLine Warning{1, "WARNING: The bitrate parameter is set too low. It takes bits/s as "
                            "argument, not kbits/s"};
  Engine.SetOption("vb", "500");
  EXPECT_EQ(Recorder.LogLines(), std::vector<TLogLine>{Warning});
  Engine.SetOption("ab", "128000");
  EXPECT_EQ(Recorder.LogLines().size(), 1u);
  Engine.SetOption("ab", "128");
  EXPECT_EQ(Recorder.LogLines(), (std::vector<TLogLine>{Warning, Warning}));
  // 0 asks for no rate at all (a constant-quality encoder), which is no slip of the unit.
  Engine.SetOption("b", "0");
  EXPECT_EQ(Recorder.LogLines().size(), 2u);
}

TEST_F(TOptionDispatcherTest, RenamedSettingsStillReachTheEncoder) {
  Engine.SetOption("gop", "15");
  Engine.SetOption("flags", "+scan_offset");
  const int Video = AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM;
  auto Mpeg2 = Encoder("mpeg2video", ckVideo, Video);
  EXPECT_EQ(Mpeg2->gop_size, 15);
  EXPECT_EQ(IntOption(Mpeg2.get(), "scan_offset"), 1);
  // An encoder without the private switch takes the rest and ignores it.
  EXPECT_EQ(Encoder("mpeg4", ckVideo, Video)->gop_size, 15);
}

TEST_F(TOptionDispatcherTest, PrivateEncoderOptionWaitsForItsEncoder) {
  EXPECT_TRUE(Engine.SetLibraryOption("preset", "veryfast"));
  const int Video = AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM;
  auto X264 = Encoder("libx264", ckVideo, Video);
  uint8_t* Text = nullptr;
  ASSERT_GE(AVUtil().av_opt_get(X264.get(), "preset", AV_OPT_SEARCH_CHILDREN, &Text), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(Text), "veryfast");
  AVUtil().av_free(Text);
}

TEST_F(TOptionDispatcherTest, MuxerSettingsReachTheMuxer) {
  Engine.SetOption("muxrate", "10080000");
  Engine.SetOption("packetsize", "2048");
  AVFormatContext* Raw = nullptr;
  ASSERT_GE(AVFormat().avformat_alloc_output_context2(&Raw, nullptr, "dvd", nullptr), 0);
  TFormatContextPtr Output(Raw);
  Engine.SetContextOptions(Output.get(), Internals(Engine).LibOptions.FormatOptions.get(),
                           AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(IntOption(Output.get(), "muxrate"), 10080000);
  EXPECT_EQ(Output->packet_size, 2048u);
}

TEST_F(TOptionDispatcherTest, CodecNamesAndStreamCopy) {
  Engine.SetOption("vcodec", "copy");
  Engine.SetOption("vcodec", "mpeg4");
  EXPECT_STREQ(Internals(Engine).Options.VideoCodecName.get(), "mpeg4");
  EXPECT_EQ(Internals(Engine).Options.VideoStreamCopy, 1);
  Engine.SetOption("acodec", "copy");
  EXPECT_EQ(Internals(Engine).Options.AudioCodecName, nullptr);
  EXPECT_EQ(Internals(Engine).Options.AudioStreamCopy, 1);
}

TEST_F(TOptionDispatcherTest, ContainerFormatByName) {
  Engine.SetOption("f", "avi");
  ASSERT_NE(Internals(Engine).Options.FileInputFormat, nullptr);
  ASSERT_NE(Internals(Engine).Options.FileOutputFormat, nullptr);
  EXPECT_STREQ(Internals(Engine).Options.FileOutputFormat->name, "avi");
  EXPECT_EQ(ErrorOf("f", "nosuchformat"), "Unknown input or output format: nosuchformat");
  EXPECT_EQ(ErrorOf("f", ""), "no error");
  Engine.SetOutputFormat("mp4");
  EXPECT_STREQ(Internals(Engine).Options.FileOutputFormat->name, "mp4");
  EXPECT_THROW(Engine.SetInputFormat("nosuchformat"), FFMpegException);
}

} // namespace
} // namespace pelorix
