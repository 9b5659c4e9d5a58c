// Timelines kept: every clip as phones and encoders write them converts into a video that
// lasts as long as the source's pictures show, in each kind of container. Containers that
// time every picture keep each one at its own time; those of a fixed rate place the pictures
// on their rate by their times, the last one held to its end. Real conversions of generated
// clips, read back.
#include "MediaFacts.h"
#include "MediaTestSupport.h"

#include <filesystem>

namespace pelorix {
namespace {

using TSettings = std::vector<std::pair<std::string, std::string>>;

struct TTimelineCase {
  const char* Name;
  const char* Clip;
  const char* Output;
  TSettings Settings;
  int Pictures; // in the output (pictures only)
  double Seconds; // of video in the output
  double Rate = 0; // pictures a second the output declares; 0: not checked
};

void PrintTo(const TTimelineCase& ACase, std::ostream* AStream) { *AStream << ACase.Name; }

class TTimelineTest : public ::testing::TestWithParam<TTimelineCase> {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir =
        std::filesystem::temp_directory_path() / ("pelorix-timeline-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }
  std::filesystem::path Dir;
};

// The stream a timeline is read from: the video one, or the only one.
const test::TStreamFacts& Timed(const test::TMediaFacts& AFacts) {
  for (const test::TStreamFacts& Stream : AFacts.Streams)
    if (Stream.Kind == AVMEDIA_TYPE_VIDEO) return Stream;
  return AFacts.Streams.at(0);
}

// The declared picture rate of the first stream.
double DeclaredRate(const std::string& AFileName) {
  AVFormatContext* Raw = nullptr;
  if (AVFormat().avformat_open_input(&Raw, AFileName.c_str(), nullptr, nullptr) < 0) return 0;
  TInputContextPtr Input(Raw);
  AVFormat().avformat_find_stream_info(Raw, nullptr);
  return av_q2d(Raw->streams[0]->avg_frame_rate);
}

TEST_P(TTimelineTest, OutputLastsAsTheSourceShows) {
  const TTimelineCase& Case = GetParam();
  TCustomFFmpeg Engine;
  Engine.Reset();
  ASSERT_TRUE(Engine.OpenInputFile(test::TestMedia(Case.Clip))) << Engine.LastErrorText();
  for (const auto& [Name, Value] : Case.Settings) Engine.SetOption(Name, Value);
  const std::string Output = (Dir / Case.Output).string();
  ASSERT_TRUE(Engine.OpenOutputFile(Output)) << Engine.LastErrorText();
  Engine.Start(false, TConvertPriority::tpNormal);
  ASSERT_FALSE(Engine.ErrorOccurred()) << Engine.ErrorMessage();

  const test::TMediaFacts Facts = test::ReadMediaFacts(Output);
  ASSERT_TRUE(Facts.Opened);
  const test::TStreamFacts& Stream = Timed(Facts);
  // Within one picture of the output's rate, or of the source's where each picture is timed;
  // sound within an encoder's frame and its padding.
  const double Rate = DeclaredRate(Output);
  const bool Sound = Stream.Kind == AVMEDIA_TYPE_AUDIO;
  const double Picture = Case.Rate > 0 ? 1 / Case.Rate : Sound ? 0.1 : 0.05;
  if (!Sound) {
    EXPECT_EQ(Stream.Packets, Case.Pictures);
  }
  // Matroska keeps a last picture's time in the file's duration, not in the picture's block.
  const double Seconds =
      std::string(Case.Output).ends_with(".mkv") || std::string(Case.Output).ends_with(".webm")
          ? Facts.FileDuration
          : Stream.Duration;
  EXPECT_NEAR(Seconds, Case.Seconds, Picture);
  if (Case.Rate > 0) {
    EXPECT_NEAR(Rate, Case.Rate, 0.01);
  }
}

const TSettings Mpeg4{{"vcodec", "mpeg4"}, {"an", ""}};
const TSettings Vp9{
    {"vcodec", "libvpx-vp9"}, {"deadline", "realtime"}, {"cpu-used", "8"}, {"an", ""}};

INSTANTIATE_TEST_SUITE_P(
    Clips, TTimelineTest,
    ::testing::Values(
        // 20 pictures in 1.97 s, the last shown 1.5 s: each picture at its own time in MP4
        // and Matroska; in AVI, on the source's average rate (20 pictures in 3.47 s).
        TTimelineCase{"HeldLastIntoMp4", "held_last.mp4", "held.mp4", Mpeg4, 20, 3.472},
        TTimelineCase{"HeldLastIntoMkv", "held_last.mp4", "held.mkv", Mpeg4, 20, 3.472},
        TTimelineCase{"HeldLastIntoWebm", "held_last.mp4", "held.webm", Vp9, 20, 3.472},
        TTimelineCase{"HeldLastIntoAvi", "held_last.mp4", "held.avi", Mpeg4, 20, 3.472,
                      12000.0 / 2083},
        TTimelineCase{"PhoneIntoMp4", "vfr_phone.mp4", "phone.mp4", Mpeg4, 20, 1.974},
        TTimelineCase{"PhoneIntoAvi", "vfr_phone.mp4", "phone.avi", Mpeg4, 21, 1.974, 240.0 / 23},
        // Ten pictures, each repeated four times by empty packets: ten pictures of 0.2 s where
        // each has a time, fifty at 25 a second.
        TTimelineCase{"RepeatsIntoMp4", "theora_repeat.ogg", "repeats.mp4", Mpeg4, 10, 2.0},
        TTimelineCase{"RepeatsIntoMkv", "theora_repeat.ogg", "repeats.mkv", Mpeg4, 10, 2.0},
        TTimelineCase{"RepeatsIntoAvi", "theora_repeat.ogg", "repeats.avi", Mpeg4, 50, 2.0, 25},
        // A granule rate of 600 and ASF's millisecond tick are no picture rates.
        TTimelineCase{"GranuleRateIntoAvi", "theora_tick.ogg", "tick.avi", Mpeg4, 40, 1.6, 25},
        TTimelineCase{"GranuleRateCopiedIntoAvi",
                      "theora_tick.ogg",
                      "tick-copy.avi",
                      {{"vcodec", "copy"}},
                      40,
                      1.6,
                      25},
        TTimelineCase{"MillisecondTickCopiedIntoAvi",
                      "wmv.asf",
                      "wmv-copy.avi",
                      {{"vcodec", "copy"}, {"an", ""}},
                      50,
                      2.046,
                      25},
        // Copied at a fixed rate, pictures closer than a period take the next tick.
        TTimelineCase{"VariableRateCopiedIntoAvi",
                      "vfr_phone.mp4",
                      "vfr-copy.avi",
                      {{"vcodec", "copy"}},
                      20,
                      1.974,
                      240.0 / 23},
        // The last picture of a WebM is written and shows its period.
        TTimelineCase{"LastPictureOfWebm", "h264_aac.mp4", "last.webm", Vp9, 50, 2.0, 25},
        // Five AMR frames in every sample: all of them are decoded.
        TTimelineCase{"MultiFrameAmrIntoM4a", "amr_wb_multi.3gp", "amr.m4a", {}, -1, 2.0},
        TTimelineCase{"MultiFrameAmrIntoMp3", "amr_wb_multi.3gp", "amr.mp3", {}, -1, 2.0}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

} // namespace
} // namespace pelorix
