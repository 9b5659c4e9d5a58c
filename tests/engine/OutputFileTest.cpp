// Creating outputs: the checks and their texts, which streams an output gets, how each encoder
// is configured from the option state, the container tags, and the file itself.
#include "EngineInternals.h"
#include "MediaTestSupport.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace pelorix {
namespace {

using test::TEngineRecorder;
using test::TestMedia;
using test::TLogLine;

class TOutputFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Engine.Reset();
    Dir = std::filesystem::temp_directory_path() / ("pelorix-output-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override {
    Engine.Cleanup();
    std::filesystem::remove_all(Dir);
  }

  std::string Out(const std::string& AName) { return (Dir / AName).string(); }

  void OpenInput(const std::string& AClip) {
    ASSERT_TRUE(Engine.OpenInputFile(TestMedia(AClip))) << Engine.LastErrorText();
  }

  // The kinds of the streams of output file AIndex, in order ('v', 'a', 's').
  std::string StreamKinds(int AIndex = 0) {
    std::string Kinds;
    const AVFormatContext* Output = Internals(Engine).Files.OutputFiles[AIndex].get();
    for (unsigned I = 0; I < Output->nb_streams; ++I)
      Kinds += "vadsa"[Output->streams[I]->codecpar->codec_type];
    return Kinds;
  }

  AVCodecContext* Encoder(int AStream, int AFile = 0) {
    return Internals(Engine).StreamCodecs.Outputs[AFile].at(AStream).Encoder.get();
  }

  std::string Tag(const char* AKey) {
    const AVDictionaryEntry* Entry =
        AVUtil().av_dict_get(Internals(Engine).Files.OutputFiles[0]->metadata, AKey, nullptr, 0);
    return Entry ? Entry->value : "(none)";
  }

  TCustomFFmpeg Engine;
  std::filesystem::path Dir;
};

TEST_F(TOutputFileTest, CropAndPadAgainstFiltersAreRefusedCropFirst) {
  Engine.SetOption("vfilters", "scale=320:240");
  Engine.SetOption("padtop", "16");
  EXPECT_FALSE(Engine.OpenOutputFile(Out("a.avi")));
  EXPECT_EQ(Engine.LastErrorText(), "Cannot enable pad options and the filters which resize "
                                    "frame at the same time. (crop, rotate, scale, transpose, "
                                    "etc.)");
  Engine.SetOption("s", "320x240");
  Engine.SetOption("croptop", "16");
  EXPECT_FALSE(Engine.OpenOutputFile(Out("a.avi")));
  EXPECT_EQ(Engine.LastErrorText(), "Cannot enable crop options and filters at the same time.");
  EXPECT_EQ(Internals(Engine).Files.OutputFileCount, 0);

  using E = TCustomFFmpeg;
  EXPECT_TRUE(E::FiltersResizeFrames("Scale=1:1"));
  EXPECT_TRUE(E::FiltersResizeFrames("hflip,transpose=1"));
  EXPECT_FALSE(E::FiltersResizeFrames(" scale=1:1"));
  EXPECT_FALSE(E::FiltersResizeFrames("hflip,scaler"));
  EXPECT_FALSE(E::FiltersResizeFrames(""));
}

TEST_F(TOutputFileTest, UnknownFormatsAndUnwritableFilesFail) {
  EXPECT_FALSE(Engine.OpenOutputFile(Out("a.nosuchformat")));
  EXPECT_EQ(Engine.LastErrorText(),
            "Unable to find a suitable output format for '" + Out("a.nosuchformat") + "'");
  const std::string Unwritable = Out("missing-folder/a.avi");
  EXPECT_FALSE(Engine.OpenOutputFile(Unwritable));
  EXPECT_EQ(Engine.LastErrorText(),
            "Could not open '" + Unwritable + "': No such file or directory");
  EXPECT_EQ(Internals(Engine).Files.OutputFileCount, 0);
  EXPECT_EQ(Internals(Engine).Files.OutputFiles[0], nullptr);

  // An image sequence needs a number in its name.
  EXPECT_FALSE(Engine.OpenOutputFile(Out("img.jpg")));
  EXPECT_EQ(Engine.LastErrorText(),
            TCustomFFmpeg::FileOpenErrorText(Out("img.jpg"), AVERROR(EDOM)));
  EXPECT_FALSE(std::filesystem::exists(Out("img.jpg")));
  EXPECT_TRUE(Engine.OpenOutputFile(Out("img%03d.jpg"))) << Engine.LastErrorText();
}

TEST_F(TOutputFileTest, StreamsFollowTheFormatTheInputsAndTheDisableFlags) {
  OpenInput("tone.mp3");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("tone.avi"))) << Engine.LastErrorText();
  EXPECT_EQ(StreamKinds(0), "a"); // no video in the input

  OpenInput("multi.mkv");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("multi.mkv"))) << Engine.LastErrorText();
  // Without maps every audio track of the inputs goes in: the MP3's and both of the clip's.
  EXPECT_EQ(StreamKinds(1), "vaaas");
  EXPECT_EQ(Encoder(4, 1)->codec_id, AV_CODEC_ID_ASS); // text subtitles become the format's

  // "vn" stays until a video stream takes it.
  Engine.SetOption("vn", "");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("novideo1.mkv")));
  ASSERT_TRUE(Engine.OpenOutputFile(Out("novideo2.mkv")));
  EXPECT_EQ(StreamKinds(3), "aaas");
  EXPECT_EQ(Internals(Engine).Options.VideoDisable, 1);
}

TEST_F(TOutputFileTest, SubtitlesOnlyWhereTheyCanBeConverted) {
  TEngineRecorder Recorder(Engine);
  ASSERT_TRUE(Engine.OpenOutputFile(Out("nothing.mkv"))); // no input to take subtitles from
  EXPECT_EQ(StreamKinds(), "va");
  EXPECT_EQ(Recorder.LogLines(),
            (std::vector<TLogLine>{{1, "No subtitle stream in '" + Out("nothing.mkv") +
                                           "': the input subtitles cannot be converted to ass"}}));
}

TEST_F(TOutputFileTest, CopyAndEncoderChoicesAreConsumed) {
  OpenInput("multi.mkv");
  Engine.SetOption("vcodec", "copy");
  Engine.SetOption("acodec", "mp2");
  Engine.SetOption("scodec", "copy");
  Engine.SetOption("alang", "english");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("copy.mkv"))) << Engine.LastErrorText();
  EXPECT_TRUE(Internals(Engine).StreamCodecs.Outputs[0][0].StreamCopy);
  EXPECT_FALSE(Internals(Engine).StreamCodecs.Outputs[0][1].StreamCopy);
  EXPECT_EQ(Encoder(1)->codec_id, AV_CODEC_ID_MP2);
  // Both audio tracks are encoded with the one choice; the subtitles after them are copied.
  EXPECT_FALSE(Internals(Engine).StreamCodecs.Outputs[0][2].StreamCopy);
  EXPECT_EQ(Encoder(2)->codec_id, AV_CODEC_ID_MP2);
  EXPECT_TRUE(Internals(Engine).StreamCodecs.Outputs[0][3].StreamCopy);
  EXPECT_EQ(Internals(Engine).Options.VideoStreamCopy, 0);
  EXPECT_EQ(Internals(Engine).Options.SubtitleStreamCopy, 0);
  EXPECT_EQ(Internals(Engine).Options.AudioCodecName, nullptr);
  const AVDictionaryEntry* Language = AVUtil().av_dict_get(
      Internals(Engine).Files.OutputFiles[0]->streams[1]->metadata, "language", nullptr, 0);
  ASSERT_NE(Language, nullptr);
  EXPECT_STREQ(Language->value, "eng");
  EXPECT_TRUE(Internals(Engine).Options.AudioLanguage.empty());
}

TEST_F(TOutputFileTest, StreamFailuresNameTheStreamAndTakeTheOutputBack) {
  OpenInput("mpeg4_mp3.avi");
  Engine.SetOption("vcodec", "nosuchcodec");
  EXPECT_FALSE(Engine.OpenOutputFile(Out("a.avi")));
  EXPECT_EQ(Engine.LastErrorText(), "new_video_stream fail: Unknown encoder 'nosuchcodec'");
  Engine.SetOption("vcodec", "mpeg4");
  Engine.SetOption("acodec", "mpeg4");
  EXPECT_FALSE(Engine.OpenOutputFile(Out("a.avi")));
  EXPECT_EQ(Engine.LastErrorText(), "new_audio_stream fail: Invalid encoder type 'mpeg4'");
  EXPECT_EQ(Internals(Engine).Options.AudioCodecName, nullptr);
  EXPECT_EQ(Internals(Engine).Files.OutputFileCount, 0);
  EXPECT_TRUE(Internals(Engine).StreamCodecs.Outputs[0].empty());
  EXPECT_FALSE(std::filesystem::exists(Out("a.avi")));
}

TEST_F(TOutputFileTest, RateControlOverridesParseOrFail) {
  OpenInput("mpeg4_mp3.avi");
  Engine.SetOption("rc_override", "0,100,2/101;200;-50");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("a.avi"))) << Engine.LastErrorText();
  const AVCodecContext* C = Encoder(0);
  ASSERT_EQ(C->rc_override_count, 2);
  EXPECT_EQ(C->rc_override[0].start_frame, 0);
  EXPECT_EQ(C->rc_override[0].end_frame, 100);
  EXPECT_EQ(C->rc_override[0].qscale, 2);
  EXPECT_FLOAT_EQ(C->rc_override[0].quality_factor, 1.0f);
  EXPECT_EQ(C->rc_override[1].start_frame, 101);
  EXPECT_EQ(C->rc_override[1].qscale, 0);
  EXPECT_FLOAT_EQ(C->rc_override[1].quality_factor, 0.5f);

  for (const char* Bad : {"10", "0,100", "0,100,x", "1,2,3/4"}) {
    Engine.SetOption("rc_override", Bad);
    Engine.SetOption("vcodec", "mpeg4");
    EXPECT_FALSE(Engine.OpenOutputFile(Out("b.avi"))) << Bad;
    EXPECT_EQ(Engine.LastErrorText(), "new_video_stream fail: error parsing rc_override") << Bad;
    EXPECT_EQ(Internals(Engine).Options.VideoCodecName, nullptr);
  }
}

TEST_F(TOutputFileTest, VideoEncoderTakesTheOptionState) {
  OpenInput("mpeg4_mp3.avi");
  Engine.SetOption("r", "29"); // MPEG-1 knows 30000/1001 but not 29
  Engine.SetOption("padtop", "8");
  Engine.SetOption("padbottom", "8");
  Engine.SetOption("aspect", "4:3");
  Engine.SetOption("pix_fmt", "rgb24");
  Engine.SetOption("qscale", "3");
  std::string Matrix = "8";
  for (int I = 1; I < 64; ++I) Matrix += ",16";
  Engine.SetOption("intra_matrix", Matrix);
  Engine.SetOption("vcodec", "mpeg1video");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("a.mpg"))) << Engine.LastErrorText();
  const AVCodecContext* C = Encoder(0);
  EXPECT_EQ(C->time_base.num, 1001);
  EXPECT_EQ(C->time_base.den, 30000);
  EXPECT_EQ(C->width, 176);
  EXPECT_EQ(C->height, 160);
  EXPECT_EQ(C->sample_aspect_ratio.num, 40); // 4/3 x 160/176 = 40/33
  EXPECT_EQ(C->sample_aspect_ratio.den, 33);
  EXPECT_EQ(C->pix_fmt, AV_PIX_FMT_YUV420P); // the encoder's first
  EXPECT_EQ(C->global_quality, 3 * FF_QP2LAMBDA);
  EXPECT_EQ(C->intra_dc_precision, 0); // the library counts from 8
  // The encoder has a copy of the matrix of its own.
  ASSERT_NE(C->intra_matrix, nullptr);
  EXPECT_NE(C->intra_matrix, Internals(Engine).Options.IntraMatrix.get());
  EXPECT_EQ(C->intra_matrix[0], 8);

  // 25 is listed and stays.
  Engine.SetOption("r", "25");
  Engine.SetOption("vcodec", "mpeg2video");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("b.mpg")));
  EXPECT_EQ(Encoder(0, 1)->time_base.den, 25);
}

TEST_F(TOutputFileTest, AudioEncoderAndGlobalHeaders) {
  OpenInput("tone.mp3");
  Engine.SetOption("sample_fmt", "s16"); // AAC takes floats only
  ASSERT_TRUE(Engine.OpenOutputFile(Out("a.mp4"))) << Engine.LastErrorText();
  const AVCodecContext* C = Encoder(0);
  EXPECT_EQ(C->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(C->sample_fmt, AV_SAMPLE_FMT_FLTP);
  EXPECT_EQ(C->ch_layout.nb_channels, 2);
  EXPECT_TRUE(C->flags & AV_CODEC_FLAG_GLOBAL_HEADER); // MP4 wants global headers

  OpenInput("mpeg4_mp3.avi");
  Engine.SetOption("vglobal", "2");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("b.avi")));
  EXPECT_FALSE(Encoder(0, 1)->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
  EXPECT_TRUE(Encoder(0, 1)->flags2 & AV_CODEC_FLAG2_LOCAL_HEADER);
}

TEST_F(TOutputFileTest, MetaDataBecomesContainerTagsWithinTheOldLimits) {
  Engine.SetOption("title", std::string(600, 't'));
  Engine.SetOption("author", std::string(510, 'a') + "\xC3\xA9"); // é would cross the limit
  Engine.SetOption("genre", std::string(40, 'g'));
  Engine.SetYear(2009);
  Engine.SetTrack(7);
  Engine.SetRecordingTimestamp(1234567890);
  ASSERT_TRUE(Engine.OpenOutputFile(Out("tags.mp3"))) << Engine.LastErrorText();
  EXPECT_EQ(Tag("title"), std::string(511, 't'));
  EXPECT_EQ(Tag("artist"), std::string(510, 'a'));
  EXPECT_EQ(Tag("genre"), std::string(31, 'g'));
  EXPECT_EQ(Tag("date"), "2009");
  EXPECT_EQ(Tag("track"), "7");
  EXPECT_EQ(Tag("creation_time"), "2009-02-13T23:31:30.000000Z");
  EXPECT_EQ(Tag("comment"), "(none)");

  Engine.Cleanup();
  Engine.Reset();
  ASSERT_TRUE(Engine.OpenOutputFile(Out("untagged.mp3")));
  EXPECT_EQ(Tag("creation_time"), "(none)"); // no timestamp, no 1970
}

TEST_F(TOutputFileTest, MuxerSettingsReachTheMuxersThatHaveThem) {
  Engine.SetOption("muxpreload", "0.25");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("a.vob")));
  int64_t Preload = 0;
  AVFormatContext* Output = Internals(Engine).Files.OutputFiles[0].get();
  AVUtil().av_opt_get_int(Output, "preload", AV_OPT_SEARCH_CHILDREN, &Preload);
  EXPECT_EQ(Preload, 250000);
  EXPECT_EQ(Output->max_delay, 700000);

  Engine.SetOption("loop_output", "3");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("a.gif")));
  int64_t Loop = 0;
  AVUtil().av_opt_get_int(Internals(Engine).Files.OutputFiles[1].get(), "loop",
                          AV_OPT_SEARCH_CHILDREN, &Loop);
  EXPECT_EQ(Loop, 3);
}

TEST_F(TOutputFileTest, NewStreamOptionsAddToTheLastOutput) {
  EXPECT_THROW(Engine.SetOption("newaudio", ""), FFMpegException);
  try {
    Engine.SetOption("newvideo", "");
  } catch (const FFMpegException& E) {
    EXPECT_STREQ(E.what(), "At least one output file must be specified");
  }
  OpenInput("multi.mkv");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("a.mkv")));
  Engine.SetOption("absf", "null");
  Engine.SetOption("acodec", "mp2");
  Engine.SetOption("newaudio", "");
  EXPECT_EQ(StreamKinds(), "vaasa");
  EXPECT_EQ(Encoder(4)->codec_id, AV_CODEC_ID_MP2);
  EXPECT_EQ(Internals(Engine).Files.BitstreamFilterChains[0][4], TBitstreamFilterChain{"null"});
  EXPECT_TRUE(Internals(Engine).Files.AudioBitstreamFilters.empty());
}

} // namespace
} // namespace pelorix
