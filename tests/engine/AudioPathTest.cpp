// Whole conversions through the audio path, checked by decoding what was written: encoders of
// every kind of frame size and sample format, resampling and channel changes, the volume rule,
// and the sample clock's corrections (silence in front of a late block, a trimmed early block,
// drops larger than a block, the silence cap, drift left alone or compensated).
#include "DecodedAudio.h"
#include "EngineInternals.h"
#include "MediaTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <utility>

namespace pelorix {
namespace {

using test::DecodeAudio;
using test::TDecodedAudio;
using test::TestMedia;
using test::ToneFrequency;

using TOptions = std::vector<std::pair<std::string, std::string>>;

class TAudioPathTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir = std::filesystem::temp_directory_path() / ("pelorix-audio-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::string Out(const std::string& AName) { return (Dir / AName).string(); }

  // Converts AInput (a test clip or a path) to the file AOutput in Dir: ABefore applies to the
  // input, AAfter to the output (the input's rate and channels replace "ar" and "ac" given
  // before it). Returns the run's error, empty when it finished.
  std::string Convert(const std::string& AInput, const std::string& AOutput,
                      const TOptions& AAfter = {}, const TOptions& ABefore = {}, int AVerbose = 1) {
    Engine = std::make_unique<TCustomFFmpeg>();
    Engine->Reset();
    Recorder = std::make_unique<test::TEngineRecorder>(*Engine);
    for (const auto& [Name, Value] : ABefore) Engine->SetOption(Name, Value);
    const std::string Path = AInput.find('/') == std::string::npos ? TestMedia(AInput) : AInput;
    if (!Engine->OpenInputFile(Path)) return Engine->LastErrorText();
    Engine->SetOption("vn", "");
    Engine->SetOption("sn", "");
    for (const auto& [Name, Value] : AAfter) Engine->SetOption(Name, Value);
    if (!Engine->OpenOutputFile(Out(AOutput))) return Engine->LastErrorText();
    Engine->SetVerbosity(AVerbose); // the engine's own lines only, not the libraries'
    Engine->Start(false, TConvertPriority::tpNormal);
    EXPECT_TRUE(Internals(*Engine).Run.Ended);
    return Engine->ErrorOccurred() ? Engine->ErrorMessage() : std::string();
  }

  // The engine's level-1 lines that start with APrefix.
  std::vector<std::string> LinesStartingWith(const std::string& APrefix) {
    std::vector<std::string> Found;
    for (const test::TLogLine& Line : Recorder->LogLines())
      if (Line.Level == 1 && Line.Text.rfind(APrefix, 0) == 0) Found.push_back(Line.Text);
    return Found;
  }

  std::filesystem::path Dir;
  std::unique_ptr<TCustomFFmpeg> Engine;
  std::unique_ptr<test::TEngineRecorder> Recorder;
};

// Where all of AWanted occurs in AHaystack (both rows of samples), starting at AFrom up to
// AFrom + ASearch; -1 when nowhere there.
long FindRun(const std::vector<double>& AHaystack, const std::vector<double>& AWanted, size_t AFrom,
             size_t ASearch) {
  for (size_t At = AFrom; At <= AFrom + ASearch && At + AWanted.size() <= AHaystack.size(); ++At)
    if (std::equal(AWanted.begin(), AWanted.end(), AHaystack.begin() + static_cast<long>(At)))
      return static_cast<long>(At);
  return -1;
}

size_t LeadingZeros(const std::vector<double>& ASamples) {
  return static_cast<size_t>(
      std::find_if(ASamples.begin(), ASamples.end(), [](double V) { return V != 0; }) -
      ASamples.begin());
}

// --- Encoders of every frame size and sample format ---

struct TEncoderCase {
  const char* Codec;
  const char* Output;
  int FrameSize; // samples a padded last frame may add; 0 for encoders of any block size
};

void PrintTo(const TEncoderCase& ACase, std::ostream* AOut) { *AOut << ACase.Codec; }

class TAudioEncoderTest : public TAudioPathTest,
                          public ::testing::WithParamInterface<TEncoderCase> {};

TEST_P(TAudioEncoderTest, KeepsLengthAndTones) {
  ASSERT_EQ(Convert("tone.wav", GetParam().Output, {{"acodec", GetParam().Codec}}), "");
  EXPECT_TRUE(Engine->Finished());
  const TDecodedAudio Source = DecodeAudio(TestMedia("tone.wav"));
  const TDecodedAudio Audio = DecodeAudio(Out(GetParam().Output));
  ASSERT_TRUE(Audio.Opened);
  EXPECT_EQ(Audio.SampleRate, 44100);
  ASSERT_EQ(Audio.Channels, 2);
  // Every sample arrives, the queue's remainder included; a fixed-size encoder without a short
  // last frame pads it (and may add its own delay of less than a frame).
  EXPECT_NEAR(static_cast<double>(Audio.Length()), static_cast<double>(Source.Length()),
              GetParam().FrameSize);
  EXPECT_GE(Audio.Length(), Source.Length());
  EXPECT_NEAR(ToneFrequency(Audio.Samples[0], 44100), 440.0, 1.0);
  EXPECT_NEAR(ToneFrequency(Audio.Samples[1], 44100), 1000.0, 2.0);
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, TAudioEncoderTest,
    ::testing::Values(TEncoderCase{"libmp3lame", "out.mp3", 1152}, // planar 32-bit
                      TEncoderCase{"mp2", "out.mp2", 1152}, // packed 16-bit, padded
                      TEncoderCase{"aac", "out.m4a", 1024}, // planar float
                      TEncoderCase{"ac3", "out.ac3", 1536}, // planar float, padded
                      TEncoderCase{"flac", "out.flac", 4608}, // short last frame
                      TEncoderCase{"pcm_s16le", "out.wav", 0}, TEncoderCase{"pcm_u8", "u8.wav", 0},
                      TEncoderCase{"pcm_f32le", "f32.wav", 0}),
    [](const auto& AInfo) { return std::string(AInfo.param.Codec); });

// --- Every generated clip with audio ---

class TAudioSourceTest : public TAudioPathTest,
                         public ::testing::WithParamInterface<const char*> {};

TEST_P(TAudioSourceTest, ConvertsToMp3) {
  // The output takes the rate and channels of the input's last audio stream; the first one is
  // converted.
  ASSERT_EQ(Convert(GetParam(), "out.mp3", {{"acodec", "libmp3lame"}}), "");
  const TDecodedAudio Source = DecodeAudio(TestMedia(GetParam()));
  const TDecodedAudio Audio = DecodeAudio(Out("out.mp3"));
  ASSERT_TRUE(Source.Opened);
  ASSERT_TRUE(Audio.Opened);
  const double Seconds = static_cast<double>(Source.Length()) / Source.SampleRate;
  EXPECT_NEAR(static_cast<double>(Audio.Length()) / Audio.SampleRate, Seconds,
              1152.0 / Audio.SampleRate);
  // A channel count kept keeps every channel's tone; a downmix of these clips keeps the first.
  for (size_t C = 0; C < (Audio.Channels == Source.Channels ? Audio.Samples.size() : 1); ++C) {
    const double Tone = ToneFrequency(Source.Samples[C], Source.SampleRate);
    EXPECT_NEAR(ToneFrequency(Audio.Samples[C], Audio.SampleRate), Tone, 0.005 * Tone) << C;
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, TAudioSourceTest,
                         ::testing::Values("mpeg4_aac.3gp", "h264_aac.mp4", "mpeg4_mp3.avi",
                                           "multi.mkv", "tone.mp3", "tone.wav", "mono8k.wav",
                                           "ntsc.mp4", "two_programs.ts"),
                         [](const auto& AInfo) {
                           std::string Name = AInfo.param;
                           std::replace(Name.begin(), Name.end(), '.', '_');
                           return Name;
                         });

TEST_F(TAudioPathTest, StereoWavToWavIsSampleExact) {
  ASSERT_EQ(Convert("tone.wav", "out.wav"), "");
  const TDecodedAudio Source = DecodeAudio(TestMedia("tone.wav"));
  const TDecodedAudio Audio = DecodeAudio(Out("out.wav"));
  ASSERT_EQ(Audio.Format, AV_SAMPLE_FMT_S16);
  EXPECT_EQ(Audio.Samples, Source.Samples);
}

// --- Channels and rate ---

TEST_F(TAudioPathTest, MonoEightKilohertzBecomesStereoAt44100) {
  ASSERT_EQ(Convert("mono8k.wav", "out.wav", {{"ar", "44100"}, {"ac", "2"}}), "");
  const TDecodedAudio Audio = DecodeAudio(Out("out.wav"));
  EXPECT_EQ(Audio.SampleRate, 44100);
  ASSERT_EQ(Audio.Channels, 2);
  EXPECT_NEAR(static_cast<double>(Audio.Length()), 44100.0, 64);
  EXPECT_EQ(Audio.Samples[0], Audio.Samples[1]); // the one channel on both sides
  EXPECT_NEAR(ToneFrequency(Audio.Samples[0], 44100), 440.0, 1.0);
  EXPECT_NEAR(test::Peak(Audio.Samples[0], 1000), 0.5, 0.05);
}

TEST_F(TAudioPathTest, ChannelAndRateOptionsOverrideTheInput) {
  ASSERT_EQ(Convert("tone.wav", "mono.mp3", {{"ar", "22050"}, {"ac", "1"}}), "");
  const TDecodedAudio Mono = DecodeAudio(Out("mono.mp3"));
  EXPECT_EQ(Mono.SampleRate, 22050);
  EXPECT_EQ(Mono.Channels, 1);
  EXPECT_NEAR(static_cast<double>(Mono.Length()), 44100.0, 1152);
}

// --- Volume ---

// The 16-bit rule applied to the integer sample behind AValue (AValue × AScale, counted from the
// format's centre ACentre), held to ALow..AHigh, given back on AValue's scale.
double Scaled(double AValue, double AScale, int AVolume, double ACentre, double ALow,
              double AHigh) {
  const int64_t V = std::llround(AValue * AScale);
  const int64_t Result =
      std::clamp<int64_t>(((V * AVolume + 128) >> 8) + static_cast<int64_t>(ACentre),
                          static_cast<int64_t>(ALow), static_cast<int64_t>(AHigh));
  return (static_cast<double>(Result) - ACentre) / AScale;
}

TEST_F(TAudioPathTest, VolumeFollowsTheSixteenBitRuleInEveryFormat) {
  struct TCase {
    const char* Codec;
    int Volume;
    double Scale, Centre, Low, High; // of the integer formats; Scale 0 for floating ones
  };
  constexpr double S16 = 32768, S32 = 2147483648.0;
  const TCase Cases[] = {{"pcm_s16le", 512, S16, 0, -S16, S16 - 1}, // doubles, clips the peaks
                         {"pcm_s16le", 1024, S16, 0, -S16, S16 - 1},
                         {"pcm_s16le", 100, S16, 0, -S16, S16 - 1},
                         {"pcm_s16le", -256, S16, 0, -S16, S16 - 1},
                         {"pcm_u8", 640, 128, 128, 0, 255},
                         {"pcm_s32le", 640, S32, 0, -S32, S32 - 1},
                         {"pcm_f32le", 640, 0, 0, 0, 0},
                         {"pcm_f64le", 640, 0, 0, 0, 0}};
  for (const TCase& Case : Cases) {
    // The clip in the format first, then that file with the volume set, in the same format.
    ASSERT_EQ(Convert("tone.wav", "plain.wav", {{"acodec", Case.Codec}}), "") << Case.Codec;
    ASSERT_EQ(Convert(Out("plain.wav"), "loud.wav",
                      {{"acodec", Case.Codec}, {"vol", std::to_string(Case.Volume)}}),
              "");
    const TDecodedAudio Plain = DecodeAudio(Out("plain.wav"));
    const TDecodedAudio Loud = DecodeAudio(Out("loud.wav"));
    ASSERT_EQ(Loud.Length(), Plain.Length()) << Case.Codec;
    int Clipped = 0;
    for (int C = 0; C < 2; ++C)
      for (size_t I = 0; I < Plain.Length(); ++I) {
        const double V = Plain.Samples[C][I];
        const double Expected =
            Case.Scale ? Scaled(V, Case.Scale, Case.Volume, Case.Centre, Case.Low, Case.High)
                       : V * Case.Volume / 256;
        // Integer formats exactly, floating ones to the float's precision.
        ASSERT_NEAR(Loud.Samples[C][I], Expected, Case.Scale ? 0.25 / Case.Scale : 1e-6)
            << Case.Codec << " " << Case.Volume << " sample " << I;
        Clipped += std::fabs(Expected) >= 32767.0 / 32768;
      }
    if (Case.Volume == 1024) {
      EXPECT_GT(Clipped, 1000);
    }
  }
}

TEST_F(TAudioPathTest, VolumeScalesFloatingDecoderOutput) {
  ASSERT_EQ(Convert("h264_aac.mp4", "plain.wav"), "");
  ASSERT_EQ(Convert("h264_aac.mp4", "quiet.wav", {{"vol", "128"}}), "");
  const TDecodedAudio Plain = DecodeAudio(Out("plain.wav"));
  const TDecodedAudio Quiet = DecodeAudio(Out("quiet.wav"));
  ASSERT_EQ(Quiet.Length(), Plain.Length());
  for (int C = 0; C < 2; ++C)
    EXPECT_NEAR(test::Peak(Quiet.Samples[C], 4096) / test::Peak(Plain.Samples[C], 4096), 0.5, 0.01);
}

// --- The sample clock ---

TEST_F(TAudioPathTest, LateBlockGetsSilenceInFront) {
  ASSERT_EQ(Convert("tone.wav", "late.wav", {{"async", "1"}}, {{"itsoffset", "0.5"}}, 3), "");
  const TDecodedAudio Source = DecodeAudio(TestMedia("tone.wav"));
  const TDecodedAudio Audio = DecodeAudio(Out("late.wav"));
  ASSERT_EQ(Audio.Length(), Source.Length() + 22050);
  for (int C = 0; C < 2; ++C) {
    EXPECT_GE(LeadingZeros(Audio.Samples[C]), 22050u);
    EXPECT_TRUE(std::equal(Source.Samples[C].begin(), Source.Samples[C].end(),
                           Audio.Samples[C].begin() + 22050));
  }
  EXPECT_EQ(LinesStartingWith("adding"),
            std::vector<std::string>{"adding 22050 audio samples of silence"});
  EXPECT_TRUE(LinesStartingWith("discarding").empty());
}

TEST_F(TAudioPathTest, SilenceIsCappedAndTheNextBlockIsCorrectedAgain) {
  ASSERT_EQ(Convert("tone.wav", "late.wav", {{"async", "1"}}, {{"itsoffset", "1"}}, 3), "");
  const TDecodedAudio Source = DecodeAudio(TestMedia("tone.wav"));
  const TDecodedAudio Audio = DecodeAudio(Out("late.wav"));
  const size_t First = static_cast<size_t>(Source.BlockSizes.at(0));
  // 65536 samples over two channels: the block and its silence fill 32768 samples at most, so
  // the first block lands early, and the second block gets the rest of the second of silence.
  const size_t Cut = 32768 - First;
  const std::vector<double>& Tone = Source.Samples[1];
  EXPECT_GE(LeadingZeros(Audio.Samples[1]), Cut);
  EXPECT_TRUE(std::equal(Tone.begin(), Tone.begin() + static_cast<long>(First),
                         Audio.Samples[1].begin() + static_cast<long>(Cut)));
  const std::vector<double> Rest(Tone.begin() + static_cast<long>(First), Tone.end());
  EXPECT_NEAR(FindRun(Audio.Samples[1], Rest, 44100 + First - 1, 2),
              static_cast<double>(44100 + First), 1);
  const std::vector<std::string> Added = LinesStartingWith("adding");
  ASSERT_EQ(Added.size(), 2u);
  EXPECT_EQ(Added[0], "adding 44100 audio samples of silence");
}

TEST_F(TAudioPathTest, EarlyBlocksAreDroppedAndTrimmed) {
  // Half a second early: whole blocks (smaller than the drop) go, then one is cut.
  ASSERT_EQ(Convert("tone.wav", "early.wav", {{"async", "1"}}, {{"itsoffset", "-0.5"}}, 3), "");
  const TDecodedAudio Source = DecodeAudio(TestMedia("tone.wav"));
  const TDecodedAudio Audio = DecodeAudio(Out("early.wav"));
  ASSERT_LT(Source.BlockSizes.at(0), 22050);
  const std::vector<double> Head(Audio.Samples[1].begin(), Audio.Samples[1].begin() + 4096);
  EXPECT_NEAR(FindRun(Source.Samples[1], Head, 22048, 4), 22050, 1);
  EXPECT_NEAR(static_cast<double>(Audio.Length()), static_cast<double>(Source.Length() - 22050), 1);
  const std::vector<std::string> Discarded = LinesStartingWith("discarding");
  ASSERT_GE(Discarded.size(), 2u);
  EXPECT_EQ(Discarded[0], "discarding 22050 audio samples");
  EXPECT_TRUE(LinesStartingWith("adding").empty());
}

TEST_F(TAudioPathTest, SmallDriftIsLeftAloneAtMethodOneAndCompensatedAbove) {
  // Time stamps 1 % fast: the first drift over 50 samples is corrected (the stream is still at
  // its start), then the drift stays under the threshold: method 1 leaves it, method 100 asks
  // the resampler for at most 100 samples per block.
  const TDecodedAudio Source = DecodeAudio(TestMedia("tone.wav"));
  size_t Lengths[2] = {};
  for (const int Method : {1, 100}) {
    ASSERT_EQ(Convert("tone.wav", "drift.wav", {{"async", std::to_string(Method)}},
                      {{"itsscale", "0:1.01"}}, 3),
              "");
    Lengths[Method > 1] = DecodeAudio(Out("drift.wav")).Length();
    EXPECT_EQ(LinesStartingWith("adding").size(), 1u);
    EXPECT_TRUE(LinesStartingWith("discarding").empty());
    const std::vector<std::string> Compensations = LinesStartingWith("compensating");
    EXPECT_EQ(Compensations.empty(), Method == 1);
    for (const std::string& Line : Compensations) {
      double Drift = 0;
      int Compensation = 0, Rate = 0;
      ASSERT_EQ(std::sscanf(Line.c_str(),
                            "compensating audio timestamp drift:%lf compensation:%d in:%d", &Drift,
                            &Compensation, &Rate),
                3)
          << Line;
      EXPECT_EQ(Compensation, std::clamp(static_cast<int>(Drift), -Method, Method)) << Line;
      EXPECT_EQ(Rate, 44100);
    }
  }
  EXPECT_GE(Lengths[0], Source.Length() + 50); // the one insert
  EXPECT_LT(Lengths[0], Source.Length() + 100);
  EXPECT_GT(Lengths[1], Lengths[0] + 100); // stretched towards the time stamps
}

TEST_F(TAudioPathTest, WithoutSyncTheClockFollowsTheTimeStamps) {
  ASSERT_EQ(Convert("tone.wav", "clock.mka", {{"acodec", "pcm_s16le"}}, {{"itsoffset", "0.5"}}, 3),
            "");
  const TDecodedAudio Source = DecodeAudio(TestMedia("tone.wav"));
  const TDecodedAudio Audio = DecodeAudio(Out("clock.mka"));
  EXPECT_NEAR(Audio.StartTime, 0.5, 0.001);
  EXPECT_EQ(Audio.Samples, Source.Samples);
  EXPECT_TRUE(LinesStartingWith("adding").empty());
}

// --- Reports ---

TEST_F(TAudioPathTest, AudioOnlyReportsHaveNoFrames) {
  struct TReport {
    int Frame, Fps, Time;
  };
  std::vector<TReport> Reports;
  Engine = std::make_unique<TCustomFFmpeg>();
  Engine->Reset();
  Engine->SetReportInterval(0);
  Engine->SetProgressCallback(
      [&](TCustomFFmpeg&, int AFrame, int AFps, int ATime, float, float, int64_t, int) {
        Reports.push_back({AFrame, AFps, ATime});
      });
  ASSERT_TRUE(Engine->OpenInputFile(TestMedia("tone.wav")));
  ASSERT_TRUE(Engine->OpenOutputFile(Out("out.mp3")));
  Engine->Start(false, TConvertPriority::tpNormal);
  ASSERT_FALSE(Engine->ErrorOccurred()) << Engine->ErrorMessage();
  ASSERT_GT(Reports.size(), 2u);
  for (const TReport& Report : Reports) {
    EXPECT_EQ(Report.Frame, -1);
    EXPECT_EQ(Report.Fps, -1);
  }
  EXPECT_NEAR(Reports.back().Time, 2000, 60);
  EXPECT_GT(Internals(*Engine).Stats.AudioSize, 20000);
}

} // namespace
} // namespace pelorix
