// Files as phones, cameras, web sites and broadcasters write them: variable and field rates,
// coarse and missing time stamps, several streams of a kind, cover art, audio an encoder does
// not take, and the stream copies of such files. Every case is a real conversion of generated
// media, checked by reading the written file back.
#include "DecodedVideo.h"
#include "EngineInternals.h"
#include "MediaFacts.h"
#include "MediaTestSupport.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>

namespace pelorix {
namespace {

using test::ReadMediaFacts;
using test::TestMedia;
using test::TMediaFacts;
using test::TStreamFacts;

using TSettings = std::vector<std::pair<std::string, std::string>>;

class TRealWorldTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir = std::filesystem::temp_directory_path() /
          ("pelorix-realworld-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
    Engine.Reset();
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::string Out(const std::string& AName) { return (Dir / AName).string(); }
  void Set(const TSettings& ASettings) {
    for (const auto& [Name, Value] : ASettings) Engine.SetOption(Name, Value);
  }
  // Converts AInput into AOutput with the settings before and after opening the input; the
  // run's error, if any.
  std::string Convert(const std::string& AInput, const TSettings& ASettings,
                      const std::string& AOutput) {
    if (!Engine.OpenInputFile(TestMedia(AInput))) return "input: " + Engine.LastErrorText();
    Set(ASettings);
    if (!Engine.OpenOutputFile(Out(AOutput))) return "output: " + Engine.LastErrorText();
    Engine.Start(false, TConvertPriority::tpNormal);
    return Engine.ErrorOccurred() ? Engine.ErrorMessage() : std::string();
  }

  std::filesystem::path Dir;
  TCustomFFmpeg Engine;
  test::TEngineRecorder Recorder{Engine};
};

const TStreamFacts* Find(const TMediaFacts& AFacts, AVMediaType AKind) {
  for (const TStreamFacts& Stream : AFacts.Streams)
    if (Stream.Kind == AKind) return &Stream;
  return nullptr;
}

// The average picture rate a file's first video stream declares.
AVRational AverageRate(const std::string& AFileName) {
  AVFormatContext* Raw = nullptr;
  if (AVFormat().avformat_open_input(&Raw, AFileName.c_str(), nullptr, nullptr) < 0) return {0, 0};
  TInputContextPtr Input(Raw);
  AVFormat().avformat_find_stream_info(Raw, nullptr);
  for (unsigned I = 0; I < Raw->nb_streams; ++I)
    if (Raw->streams[I]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
      return Raw->streams[I]->avg_frame_rate;
  return {0, 0};
}

// The picture rate an output takes from a stream's base and average rates. Field-coded H.264
// (a base rate of fields) cannot be made with the installed encoders, so the rule is checked
// on the rates such a stream reports.
struct TRateCase {
  const char* Name;
  AVRational Base, Average, Expected;
};

TEST(TPictureRate, BaseRateUnlessItIsATickOrAFieldRate) {
  test::RequireMediaLibraries();
  const TRateCase Cases[] = {
      {"Constant", {25, 1}, {25, 1}, {25, 1}},
      {"AFewPicturesMissing", {25, 1}, {249, 10}, {25, 1}},
      {"FieldCoded", {60000, 1001}, {30000, 1001}, {30000, 1001}},
      {"PhoneTick", {600, 1}, {240, 23}, {240, 23}},
      {"NoBaseRate", {0, 0}, {24000, 1001}, {24000, 1001}},
      {"NoAverage", {50, 1}, {0, 0}, {50, 1}},
      // 630000 pictures in 86999 s: the nearest fraction of 16-bit terms.
      {"LongAverage", {90000, 1}, {630000, 86999}, {630000, 86999}},
  };
  TFormatContextPtr Context(AVFormat().avformat_alloc_context());
  ASSERT_TRUE(Context);
  AVStream* Stream = AVFormat().avformat_new_stream(Context.get(), nullptr);
  ASSERT_NE(Stream, nullptr);
  for (const TRateCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    Stream->r_frame_rate = Case.Base;
    Stream->avg_frame_rate = Case.Average;
    const AVRational Rate = TCustomFFmpeg::PictureRateOf(Stream);
    EXPECT_LE(Rate.num, 65535);
    EXPECT_LE(Rate.den, 65535);
    EXPECT_NEAR(av_q2d(Rate), av_q2d(Case.Expected), 1e-6);
  }
}

// The app's main format, libxvid and libmp3lame in AVI: each clip keeps its pictures, its
// length and its sound.
struct TMainCase {
  const char* Clip;
  int Pictures; // the source's
  double Seconds; // the source's
  double Rate; // pictures per second the output declares
  bool Audio;
};

void PrintTo(const TMainCase& ACase, std::ostream* AStream) { *AStream << ACase.Clip; }

class TRealWorldMainFormatTest : public TRealWorldTest,
                                 public ::testing::WithParamInterface<TMainCase> {};

TEST_P(TRealWorldMainFormatTest, KeepsPicturesLengthAndSound) {
  const TMainCase& Case = GetParam();
  ASSERT_EQ(Convert(Case.Clip, {{"vcodec", "libxvid"}, {"b", "1500000"}, {"acodec", "libmp3lame"}},
                    "main.avi"),
            "");
  const TMediaFacts Result = ReadMediaFacts(Out("main.avi"));
  const TStreamFacts* Video = Find(Result, AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(Video, nullptr);
  EXPECT_NEAR(Video->Packets, Case.Pictures, 1);
  EXPECT_NEAR(Video->Duration, Case.Seconds, 0.12);
  EXPECT_NEAR(av_q2d(AverageRate(Out("main.avi"))), Case.Rate, 0.01);
  const TStreamFacts* Sound = Find(Result, AVMEDIA_TYPE_AUDIO);
  ASSERT_EQ(Sound != nullptr, Case.Audio);
  if (Sound) {
    EXPECT_EQ(Sound->Channels, 2);
    EXPECT_NEAR(Sound->Duration, Case.Seconds, 0.12);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Clips, TRealWorldMainFormatTest,
    ::testing::Values(
        // A phone's variable rate: the base rate is the 1/600 s tick; the average (20 pictures
        // in 1.917 s) is the picture rate.
        TMainCase{"vfr_phone.mp4", 20, 1.92, 240.0 / 23, false},
        TMainCase{"interlaced_h264.ts", 25, 1.0, 25, false},
        TMainCase{"theora_vorbis.ogg", 50, 2.0, 25, true}, TMainCase{"wmv.asf", 50, 2.0, 25, true},
        // Audio stamped in pairs: the clock runs back a frame at every second packet.
        TMainCase{"paired_audio.mkv", 50, 2.0, 25, true}),
    [](const auto& AInfo) {
      std::string Name = AInfo.param.Clip;
      std::replace_if(
          Name.begin(), Name.end(), [](char C) { return !std::isalnum(C); }, '_');
      return Name;
    });

// Sound the encoder does not take: from the source it becomes the nearest the encoder takes;
// asked for by the user it fails, saying what was asked and what the encoder takes.
struct TAudioCase {
  const char* Name;
  const char* Clip;
  TSettings Settings;
  int Channels, SampleRate; // 0: the run fails
  const char* Reason; // the level-0 line before the failure
};

void PrintTo(const TAudioCase& ACase, std::ostream* AStream) { *AStream << ACase.Name; }

class TEncoderLimitsTest : public TRealWorldTest,
                           public ::testing::WithParamInterface<TAudioCase> {};

TEST_P(TEncoderLimitsTest, SourceValuesFitExplicitOnesAreExplained) {
  const TAudioCase& Case = GetParam();
  TSettings Settings{{"acodec", "libmp3lame"}};
  Settings.insert(Settings.end(), Case.Settings.begin(), Case.Settings.end());
  const std::string Error = Convert(Case.Clip, Settings, "sound.avi");
  if (Case.Channels == 0) {
    EXPECT_EQ(Error,
              "Error while opening codec for output stream #0.0 - maybe incorrect parameters such "
              "as bit_rate, rate, width or height");
    const std::vector<test::TLogLine> Lines = Recorder.LogLines();
    const auto Reason = std::find(Lines.begin(), Lines.end(), test::TLogLine{0, Case.Reason});
    ASSERT_NE(Reason, Lines.end());
    ASSERT_NE(Reason + 1, Lines.end());
    EXPECT_EQ(*(Reason + 1), (test::TLogLine{-1, Error}));
    return;
  }
  ASSERT_EQ(Error, "");
  const TMediaFacts Result = ReadMediaFacts(Out("sound.avi"));
  ASSERT_EQ(Result.Streams.size(), 1u);
  EXPECT_EQ(Result.Streams[0].Channels, Case.Channels);
  EXPECT_EQ(Result.Streams[0].SampleRate, Case.SampleRate);
  EXPECT_NEAR(Result.Streams[0].Duration, ReadMediaFacts(TestMedia(Case.Clip)).Duration(), 0.06);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, TEncoderLimitsTest,
    ::testing::Values(
        TAudioCase{"SurroundBecomesStereo", "surround.mkv", {}, 2, 48000, ""},
        TAudioCase{"HighRateBecomesTheNearest", "hirate.wav", {}, 2, 48000, ""},
        TAudioCase{"AskedChannelsFail",
                   "surround.mkv",
                   {{"ac", "6"}},
                   0,
                   0,
                   "Output stream #0.0: 6 channels (5.1) asked for; encoder libmp3lame takes "
                   "mono, stereo"},
        TAudioCase{"AskedRateFails",
                   "hirate.wav",
                   {{"ar", "96000"}},
                   0,
                   0,
                   "Output stream #0.0: 96000 Hz asked for; encoder libmp3lame takes 44100, "
                   "48000, 32000, 22050, 24000, 16000, 11025, 12000, 8000 Hz"}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// Several streams of a kind: each output takes the properties of the stream that feeds it,
// not those of the last stream opened.
TEST_F(TRealWorldTest, OutputsTakeTheirOwnSourcesProperties) {
  ASSERT_EQ(Convert("two_programs.ts", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}}, "first.mkv"), "");
  const TMediaFacts First = ReadMediaFacts(Out("first.mkv"));
  ASSERT_EQ(First.Streams.size(), 2u);
  EXPECT_EQ(First.Streams[0].Width, 176); // program 1's picture, not program 2's 160x120
  EXPECT_EQ(First.Streams[0].Height, 144);
  EXPECT_EQ(First.Streams[1].SampleRate, 48000); // program 1's sound, not 44100 mono
  EXPECT_EQ(First.Streams[1].Channels, 2);

  // A size asked for stays, even when it is the last stream's.
  TCustomFFmpeg Sized;
  Sized.Reset();
  ASSERT_TRUE(Sized.OpenInputFile(TestMedia("two_programs.ts")));
  Sized.SetOption("s", "160x120");
  Sized.SetOption("vcodec", "mpeg4");
  Sized.SetOption("an", "");
  ASSERT_TRUE(Sized.OpenOutputFile(Out("sized.mkv")));
  Sized.Start(false, TConvertPriority::tpNormal);
  ASSERT_FALSE(Sized.ErrorOccurred()) << Sized.ErrorMessage();
  EXPECT_EQ(ReadMediaFacts(Out("sized.mkv")).Streams[0].Width, 160);
}

// Stream copies of real-world files: each is written whole and keeps its timing.
struct TCopyCase {
  const char* Name;
  const char* Clip;
  const char* Output;
  TSettings Settings;
  int Streams; // in the copy
  AVMediaType Checked; // the stream whose packets and length are compared with the source's
  double Seconds; // -1: the source's
};

void PrintTo(const TCopyCase& ACase, std::ostream* AStream) { *AStream << ACase.Name; }

class TRealWorldCopyTest : public TRealWorldTest,
                           public ::testing::WithParamInterface<TCopyCase> {};

TEST_P(TRealWorldCopyTest, IsWrittenWholeWithItsTiming) {
  const TCopyCase& Case = GetParam();
  TSettings Settings{{"vcodec", "copy"}, {"acodec", "copy"}};
  Settings.insert(Settings.end(), Case.Settings.begin(), Case.Settings.end());
  ASSERT_EQ(Convert(Case.Clip, Settings, Case.Output), "");
  const TMediaFacts Source = ReadMediaFacts(TestMedia(Case.Clip));
  const TMediaFacts Copy = ReadMediaFacts(Out(Case.Output));
  ASSERT_TRUE(Copy.Opened);
  ASSERT_EQ(Copy.Streams.size(), static_cast<size_t>(Case.Streams));
  const TStreamFacts* From = Find(Source, Case.Checked);
  const TStreamFacts* To = Find(Copy, Case.Checked);
  ASSERT_TRUE(From && To);
  EXPECT_EQ(To->Codec, From->Codec);
  const double Seconds = Case.Seconds >= 0 ? Case.Seconds : From->Duration;
  if (Case.Seconds < 0) {
    EXPECT_EQ(To->Packets, From->Packets);
  }
  EXPECT_NEAR(To->Duration, Seconds, 0.1);
}

INSTANTIATE_TEST_SUITE_P(
    Files, TRealWorldCopyTest,
    ::testing::Values(
        TCopyCase{"AmrInto3gp", "amr.3gp", "amr.3gp", {}, 1, AVMEDIA_TYPE_AUDIO, -1},
        TCopyCase{
            "NonInterleavedAvi", "noninterleaved.avi", "copy.avi", {}, 2, AVMEDIA_TYPE_VIDEO, -1},
        // The cover picture is artwork: the WAV keeps its one sound stream.
        TCopyCase{"WavWithCover", "cover.wav", "copy.wav", {}, 1, AVMEDIA_TYPE_AUDIO, -1},
        TCopyCase{"H264IntoAvi", "h264_aac.mp4", "copy.avi", {}, 2, AVMEDIA_TYPE_VIDEO, -1},
        TCopyCase{"H264IntoAviForOneSecond",
                  "h264_aac.mp4",
                  "second.avi",
                  {{"t", "1"}},
                  2,
                  AVMEDIA_TYPE_VIDEO,
                  1.0},
        TCopyCase{"H263WithAnAspectAsked",
                  "h263_sar.3gp",
                  "copy.mkv",
                  {{"aspect", "16:9"}},
                  1,
                  AVMEDIA_TYPE_VIDEO,
                  -1}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// A copy into AVI keeps the source's picture rate: no empty frames between the pictures.
TEST_F(TRealWorldTest, CopiedH264KeepsItsPictureRateInAvi) {
  ASSERT_EQ(Convert("h264_aac.mp4", {{"vcodec", "copy"}, {"an", ""}}, "rate.avi"), "");
  EXPECT_EQ(av_q2d(AverageRate(Out("rate.avi"))), 25.0);
  EXPECT_EQ(test::DecodeVideo(Out("rate.avi")).Pictures.size(), 50u);
}

// MPEG-1/2 from program and elementary streams: the copy's pictures show one period apart in
// presentation order, each once.
TEST_F(TRealWorldTest, CopiedMpegVideoGetsItsPresentationTimes) {
  for (const char* Clip : {"mpeg2.m2v", "mpeg1.mpg"}) {
    SCOPED_TRACE(Clip);
    TCustomFFmpeg Copier;
    Copier.Reset();
    Copier.SetOption("vcodec", "copy");
    Copier.SetOption("an", "");
    ASSERT_TRUE(Copier.OpenInputFile(TestMedia(Clip)));
    const std::string Name = Out(std::string(Clip) + ".mkv");
    ASSERT_TRUE(Copier.OpenOutputFile(Name));
    Copier.Start(false, TConvertPriority::tpNormal);
    ASSERT_FALSE(Copier.ErrorOccurred()) << Copier.ErrorMessage();

    AVFormatContext* Raw = nullptr;
    ASSERT_GE(AVFormat().avformat_open_input(&Raw, Name.c_str(), nullptr, nullptr), 0);
    TInputContextPtr Input(Raw);
    TPacketPtr Packet(AVCodec().av_packet_alloc());
    std::vector<int64_t> Times;
    while (AVFormat().av_read_frame(Raw, Packet.get()) >= 0) {
      Times.push_back(Packet->pts);
      AVCodec().av_packet_unref(Packet.get());
    }
    ASSERT_EQ(Times.size(), 25u);
    std::sort(Times.begin(), Times.end());
    for (size_t I = 1; I < Times.size(); ++I) EXPECT_EQ(Times[I] - Times[I - 1], 40) << I;
  }
}

// A disc's buffer sizes reach the program-stream muxer: a VCD's system header declares the
// 40 kB video buffer of the standard (46 units of 1024 bytes: 6 kB of the muxer's own plus
// "bufsize" 327680 bits), not the muxer's default of 230.
TEST_F(TRealWorldTest, VcdSystemHeaderDeclaresTheDiscsVideoBuffer) {
  ASSERT_EQ(Convert("mpeg4_mp3.avi", {{"target", "pal-vcd"}}, "disc.mpg"), "");
  std::ifstream File(Out("disc.mpg"), std::ios::binary);
  const std::string Bytes((std::istreambuf_iterator<char>(File)), {});
  const size_t Header = Bytes.find(std::string("\0\0\1\xBB", 4));
  ASSERT_NE(Header, std::string::npos);
  const auto Byte = [&](size_t AAt) { return static_cast<uint8_t>(Bytes.at(AAt)); };
  const size_t Length = Byte(Header + 4) << 8 | Byte(Header + 5);
  int VideoBound = -1;
  for (size_t At = Header + 12; At + 3 <= Header + 6 + Length; At += 3)
    if (Byte(At) == 0xE0) VideoBound = (Byte(At + 1) & 0x1F) << 8 | Byte(At + 2);
  EXPECT_EQ(VideoBound, 46);
}

// The libraries' log text while a collector is installed (process-wide: this test only).
std::mutex LibraryTextLock;
std::string LibraryText;
void CollectLibraryText(void*, int, const char* AFormat, va_list AArguments) {
  char Line[1024];
  std::vsnprintf(Line, sizeof Line, AFormat, AArguments);
  std::lock_guard Guard(LibraryTextLock);
  LibraryText += Line;
}

// The output's description comes after the encoders opened, with what they will write.
TEST_F(TRealWorldTest, OutputDumpShowsTheEncodersParameters) {
  AVUtil().av_log_set_callback(CollectLibraryText);
  const std::string Error = Convert("tone.wav", {{"acodec", "pcm_s16le"}, {"vn", ""}}, "dump.wav");
  AVUtil().av_log_set_callback(AVUtil().av_log_default_callback);
  ASSERT_EQ(Error, "");
  std::lock_guard Guard(LibraryTextLock);
  const size_t Output = LibraryText.find("Output #0");
  ASSERT_NE(Output, std::string::npos);
  const std::string Dump = LibraryText.substr(Output);
  EXPECT_NE(Dump.find("pcm_s16le"), std::string::npos) << Dump;
  EXPECT_NE(Dump.find("44100 Hz, stereo"), std::string::npos) << Dump;
  EXPECT_EQ(Dump.find("0 channels"), std::string::npos) << Dump;
}

// The report's bit rate is the file's size over the time reached.
TEST_F(TRealWorldTest, ReportedBitRateIsSizeOverTime) {
  float BitRate = 0;
  int Time = 0;
  Engine.SetProgressCallback(
      [&](TCustomFFmpeg&, int, int, int ATime, float, float ABitRate, int64_t, int) {
        BitRate = ABitRate;
        Time = ATime;
      });
  ASSERT_EQ(Convert("mpeg4_mp3.avi", {{"vcodec", "copy"}, {"acodec", "copy"}}, "rate.mkv"), "");
  const double Size = static_cast<double>(std::filesystem::file_size(Out("rate.mkv")));
  const double Seconds = ReadMediaFacts(Out("rate.mkv")).Duration();
  EXPECT_NEAR(Time / 1000.0, Seconds, 0.05);
  EXPECT_NEAR(BitRate, Size * 8 / Seconds / 1000, Size * 8 / Seconds / 1000 * 0.03);
}

// Nothing written: the summary gives no infinite overhead.
TEST_F(TRealWorldTest, SummaryOfAnEmptyRunIsFinite) {
  ASSERT_EQ(Convert("tone.mp3", {{"acodec", "copy"}, {"aframes", "0"}}, "empty.mka"), "");
  const std::vector<test::TLogLine> Lines = Recorder.LogLines();
  ASSERT_FALSE(Lines.empty());
  EXPECT_EQ(Lines.back().Text,
            "video:0kB audio:0kB global headers:0kB muxing overhead 0.000000%\r\n");
}

// A bitstream filter that refuses its stream: logged and passed over, fatal only with "xerror".
TEST_F(TRealWorldTest, RefusingBitstreamFilterFailsOnlyWithExitOnError) {
  const std::string Message =
      "h264_mp4toannexb failed for stream 0, codec copy: Error while parsing header";
  ASSERT_EQ(Convert("mpeg4_mp3.avi", {{"vcodec", "copy"}, {"an", ""}, {"vbsf", "h264_mp4toannexb"}},
                    "bsf.mkv"),
            "");
  const std::vector<test::TLogLine> Lines = Recorder.LogLines();
  EXPECT_NE(std::find(Lines.begin(), Lines.end(), test::TLogLine{0, Message}), Lines.end());
  EXPECT_EQ(ReadMediaFacts(Out("bsf.mkv")).Streams.at(0).Packets, 50);

  TCustomFFmpeg Strict;
  Strict.Reset();
  Strict.SetOption("xerror", "");
  ASSERT_TRUE(Strict.OpenInputFile(TestMedia("mpeg4_mp3.avi")));
  for (const auto& [Name, Value] :
       TSettings{{"vcodec", "copy"}, {"an", ""}, {"vbsf", "h264_mp4toannexb"}})
    Strict.SetOption(Name, Value);
  ASSERT_TRUE(Strict.OpenOutputFile(Out("strict.mkv")));
  Strict.Start(false, TConvertPriority::tpNormal);
  EXPECT_EQ(Strict.ErrorMessage(), Message);
}

} // namespace
} // namespace pelorix
