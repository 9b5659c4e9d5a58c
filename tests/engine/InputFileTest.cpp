// Opening inputs: what an opened file hands on to the option state, the per-stream decoder
// state, and the failure texts for missing, damaged and mislabelled files.
#include "EngineInternals.h"
#include "MediaTestSupport.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace pelorix {
namespace {

using test::TEngineRecorder;
using test::TestMedia;
using test::TLogLine;

class TInputFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Engine.Reset();
    Dir = std::filesystem::temp_directory_path() / ("pelorix-input-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  // The start of a test clip under a name of our choice: AByteCount bytes, or with AMark, up
  // to 12 bytes past the first AMark.
  std::string Truncated(const std::string& AClip, size_t AByteCount, const std::string& AName,
                        const std::string& AMark = "") {
    std::ifstream In(TestMedia(AClip), std::ios::binary);
    std::string Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    const std::string Path = (Dir / AName).string();
    if (!AMark.empty()) AByteCount = Bytes.find(AMark) + 12;
    std::ofstream(Path, std::ios::binary) << Bytes.substr(0, AByteCount);
    return Path;
  }

  // Opening fails, keeps no file and leaves AText.
  void ExpectOpenFails(const std::string& AFileName, const std::string& AText) {
    EXPECT_FALSE(Engine.OpenInputFile(AFileName)) << AFileName;
    EXPECT_EQ(Engine.LastErrorText(), AText);
    EXPECT_EQ(Internals(Engine).Files.InputFileCount, 0);
  }

  TCustomFFmpeg Engine;
  std::filesystem::path Dir;
};

TEST_F(TInputFileTest, MissingAndDamagedFilesFailWithTheirTexts) {
  Engine.SetOption("vcodec", "mpeg4");
  const std::string Missing = (Dir / "missing.avi").string();
  ExpectOpenFails(Missing, Missing + ": no such file or directory");
  EXPECT_EQ(Internals(Engine).Options.VideoCodecName, nullptr); // consumed by the failed open

  ExpectOpenFails(TestMedia("garbage.bin"), TestMedia("garbage.bin") + ": Unknown format");
  // Recognised by its name only, then refused by the demuxer.
  ExpectOpenFails(TestMedia("empty.avi"), TestMedia("empty.avi") + ": Error while parsing header");
  const std::string Cut = Truncated("h264_aac.mp4", 20000, "cut.mp4");
  ExpectOpenFails(Cut, Cut + ": Error while parsing header");
  ExpectOpenFails(Dir.string(), Dir.string() + ": Error while opening file: Is a directory");
  // A forced demuxer that cannot read the file: a header error, not an unknown format.
  Engine.SetOption("f", "avi");
  ExpectOpenFails(TestMedia("garbage.bin"),
                  TestMedia("garbage.bin") + ": Error while parsing header");
  EXPECT_EQ(Internals(Engine).Options.FileInputFormat, nullptr);
}

TEST_F(TInputFileTest, DecoderNamesMustExistAndBeOfTheirKind) {
  Engine.SetOption("vcodec", "libx264"); // an encoder only
  ExpectOpenFails(TestMedia("mpeg4_mp3.avi"), "Unknown decoder 'libx264'");
  Engine.SetOption("vcodec", "mp3");
  ExpectOpenFails(TestMedia("mpeg4_mp3.avi"), "Invalid decoder type 'mp3'");
  Engine.SetOption("acodec", "mp3");
  EXPECT_TRUE(Engine.OpenInputFile(TestMedia("mpeg4_mp3.avi"))) << Engine.LastErrorText();
  EXPECT_EQ(Internals(Engine).Files.InputFiles[0]->audio_codec_id, AV_CODEC_ID_MP3);
  EXPECT_EQ(Internals(Engine).Options.AudioCodecName, nullptr);
}

TEST_F(TInputFileTest, AnOpenedFileHandsItsPropertiesOn) {
  Engine.SetOption("re", "");
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("mpeg4_mp3.avi"))) << Engine.LastErrorText();
  EXPECT_EQ(Internals(Engine).Files.InputFileCount, 1);
  EXPECT_EQ(Internals(Engine).Options.FrameWidth, 176);
  EXPECT_EQ(Internals(Engine).Options.FrameHeight, 144);
  EXPECT_FLOAT_EQ(Internals(Engine).Options.FrameAspectRatio, 176.0f / 144.0f);
  EXPECT_EQ(Internals(Engine).Options.FramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(Internals(Engine).Options.FrameRate.num, 25);
  EXPECT_EQ(Internals(Engine).Options.FrameRate.den, 1);
  EXPECT_EQ(Internals(Engine).Options.AudioChannels, 2);
  EXPECT_EQ(Internals(Engine).Options.AudioSampleRate, 44100);
  EXPECT_EQ(Engine.RecordingDuration(), 2040);
  EXPECT_EQ(Internals(Engine).Options.RateEmu, 0);

  // One decoder context per stream, filled from the stream, with the codec time base.
  const auto& Streams = Internals(Engine).StreamCodecs.Inputs[0];
  ASSERT_EQ(Streams.size(), 2u);
  EXPECT_EQ(Streams[0].Decoder->codec_id, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(Streams[0].Decoder->time_base.den, 25);
  EXPECT_EQ(Streams[0].CodecTimeBase.den, 25);
  EXPECT_TRUE(Streams[0].RateEmu);
  EXPECT_EQ(Streams[1].Decoder->codec_id, AV_CODEC_ID_MP3);
  EXPECT_FALSE(Streams[1].RateEmu);
  Engine.Cleanup();
  EXPECT_TRUE(Internals(Engine).StreamCodecs.Inputs[0].empty());
}

TEST_F(TInputFileTest, AspectAndPixelFormatRules) {
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("sar4x3.mp4"))) << Engine.LastErrorText();
  EXPECT_FLOAT_EQ(Internals(Engine).Options.FrameAspectRatio, 4.0f / 3.0f * 176.0f / 144.0f);
  // An AVI cut after its header: the video is described, but its pixel format is unknown.
  // Only a ".rmvb" name, in any case, makes it planar YUV.
  ASSERT_TRUE(Engine.OpenInputFile(Truncated("mpeg4_mp3.avi", 0, "clip.RmVb", "movi")));
  EXPECT_EQ(Internals(Engine).Options.FramePixFmt, AV_PIX_FMT_YUV420P);
  ASSERT_TRUE(Engine.OpenInputFile(Truncated("mpeg4_mp3.avi", 0, "clip.avi", "movi")));
  EXPECT_EQ(Internals(Engine).Options.FramePixFmt, AV_PIX_FMT_NONE);
}

TEST_F(TInputFileTest, StartSeekMovesTheInputOffset) {
  // The clip starts at 0.16 s; a start of 1 s seeks to 1.16 s.
  Engine.SetOption("ss", "1");
  Engine.SetOption("itsoffset", "0.5");
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("nokey_start.ts"))) << Engine.LastErrorText();
  EXPECT_EQ(Internals(Engine).Options.StartTime, 0);
  EXPECT_EQ(Internals(Engine).Files.InputTsOffset[0], 500000 - 1160000);

  Engine.SetCopyTimestamps(true);
  Engine.SetOption("ss", "1");
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("nokey_start.ts")));
  EXPECT_EQ(Internals(Engine).Files.InputTsOffset[1], 500000);
}

TEST_F(TInputFileTest, TheLongestInputSetsTheDuration) {
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("mono8k.wav")));
  EXPECT_EQ(Engine.RecordingDuration(), 1000);
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("tone.wav")));
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("mono8k.wav")));
  EXPECT_EQ(Engine.RecordingDuration(), 2000);
}

TEST_F(TInputFileTest, DifferingCodecFrameRateIsLoggedWhenVerbose) {
  TEngineRecorder Recorder(Engine);
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("h264_aac.mp4")));
  EXPECT_EQ(Recorder.LogLines(),
            (std::vector<TLogLine>{{1, "Seems stream 0 codec frame rate differs from container "
                                       "frame rate: 50.00 (50/1) -> 25.00 (25/1)"}}));
  Engine.SetOption("v", "0");
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("h264_aac.mp4")));
  EXPECT_EQ(Recorder.LogLines().size(), 1u);
}

TEST_F(TInputFileTest, AFailedProbeOnlyFailsWhenNotQuiet) {
  // Only the tables of a transport stream: no stream is ever found.
  const std::string Tables = Truncated("nokey_start.ts", 376, "tables.ts");
  Engine.SetOption("v", "0");
  ExpectOpenFails(Tables, Tables + ": could not find codec parameters");
  Engine.SetOption("v", "-1");
  EXPECT_TRUE(Engine.OpenInputFile(Tables));
  EXPECT_EQ(Internals(Engine).Files.InputFileCount, 1);
}

TEST_F(TInputFileTest, DisabledKindsAndOtherProgramsAreDiscarded) {
  Engine.SetOption("vn", "");
  Engine.SetOption("an", "");
  Engine.SetOption("programid", "2");
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("two_programs.ts"))) << Engine.LastErrorText();
  const AVFormatContext* Input = Internals(Engine).Files.InputFiles[0].get();
  for (unsigned I = 0; I < Input->nb_streams; ++I)
    EXPECT_EQ(Input->streams[I]->discard, AVDISCARD_ALL) << I;
  ASSERT_EQ(Input->nb_programs, 2u);
  EXPECT_EQ(Input->programs[0]->discard, AVDISCARD_ALL);
  EXPECT_NE(Input->programs[1]->discard, AVDISCARD_ALL);
}

TEST_F(TInputFileTest, RawInputsGetOnlyTheParametersThatAreSet) {
  // Raw samples: rate and channels from the options; the unset frame rate and size must not
  // reach the demuxer.
  const std::string Samples = (Dir / "samples.raw").string();
  std::ofstream(Samples, std::ios::binary) << std::string(16000, '\0');
  Engine.SetOption("f", "s16le");
  Engine.SetOption("ar", "8000");
  Engine.SetOption("ac", "1");
  ASSERT_TRUE(Engine.OpenInputFile(Samples)) << Engine.LastErrorText();
  const AVCodecParameters* Audio = Internals(Engine).Files.InputFiles[0]->streams[0]->codecpar;
  EXPECT_EQ(Audio->sample_rate, 8000);
  EXPECT_EQ(Audio->ch_layout.nb_channels, 1);
  EXPECT_EQ(Engine.RecordingDuration(), 1000);

  // Raw pictures: size, pixel format and rate, padding included in the size.
  const std::string Pictures = (Dir / "pictures.raw").string();
  std::ofstream(Pictures, std::ios::binary) << std::string(16 * 20 * 3 / 2 * 5, '\0');
  Engine.SetOption("f", "rawvideo");
  Engine.SetOption("s", "16x16");
  Engine.SetOption("padbottom", "4");
  Engine.SetOption("pix_fmt", "yuv420p");
  Engine.SetOption("r", "5");
  ASSERT_TRUE(Engine.OpenInputFile(Pictures)) << Engine.LastErrorText();
  const AVCodecParameters* Video = Internals(Engine).Files.InputFiles[1]->streams[0]->codecpar;
  EXPECT_EQ(Video->width, 16);
  EXPECT_EQ(Video->height, 20);
  EXPECT_EQ(Internals(Engine).Options.FrameHeight, 20); // taken back from the stream
}

} // namespace
} // namespace pelorix
