// The output check on real files: what counts as complete, what each miss reads as, and a
// source cut short while it converts, which ends incomplete, never converted.
#include "OutputCheck.h"
#include "ConverterTestSupport.h"

#include <unistd.h>

namespace pelorix::test {
namespace {

TEST(TOutputCheckTest, EachExpectedStreamMustBeThereWithTheLengthThatWasRead) {
  RequireMediaLibraries();
  const std::string Tone = TestMedia("tone.mp3"); // 2 s of audio
  const std::string Clip = TestMedia("mpeg4_mp3.avi"); // 2 s of video and audio
  EXPECT_EQ(OutputShortfall(Tone, {{AVMEDIA_TYPE_AUDIO, -1, 2.0}}), "");
  EXPECT_EQ(OutputShortfall(Clip, {{AVMEDIA_TYPE_VIDEO, 0, 2.0}, {AVMEDIA_TYPE_AUDIO, 1, 2.0}}),
            "");
  // Within half a second, or 2 % of a long span; an unknown span asks only for the stream.
  EXPECT_EQ(OutputShortfall(Tone, {{AVMEDIA_TYPE_AUDIO, -1, 2.45}}), "");
  EXPECT_EQ(OutputShortfall(Tone, {{AVMEDIA_TYPE_AUDIO, -1, -1}}), "");
  EXPECT_DOUBLE_EQ(OutputTolerance(100), 2.0);
  EXPECT_DOUBLE_EQ(OutputTolerance(3), 0.5);
  EXPECT_EQ(OutputShortfall(Tone, {{AVMEDIA_TYPE_AUDIO, -1, 9.9}}),
            "the output holds 2.0 of 9.9 s of audio");
  EXPECT_EQ(OutputShortfall(Tone, {{AVMEDIA_TYPE_AUDIO, -1, 1.0}}),
            "the output holds 2.0 of 1.0 s of audio"); // more than was read is no better
  EXPECT_EQ(OutputShortfall(Tone, {{AVMEDIA_TYPE_VIDEO, -1, 2.0}}), "the output holds no video");
  EXPECT_EQ(OutputShortfall(Clip, {{AVMEDIA_TYPE_AUDIO, 0, 2.0}}), "the output holds no audio");
  EXPECT_EQ(OutputShortfall(TestMedia("garbage.bin"), {{AVMEDIA_TYPE_AUDIO, -1, 2.0}})
                .rfind("the output does not open as media: ", 0),
            0u);
}

// The source loses most of itself while it is read (the test cuts it from the run's first
// progress event, which the run waits for): what was read is no measure then, and the output
// that holds only the first part ends incomplete with what it lacks, kept under its name.
TEST_F(TConverterTest, ASourceCutShortWhileItConvertsEndsIncomplete) {
  const std::string Source = (Dir / "cut.avi").string();
  std::filesystem::copy_file(TestMedia("mpeg4_mp3.avi"), Source); // 2 s, 127 KB
  TInputOptions Realtime;
  InitInputOptions(Realtime);
  Realtime.ExtOptions = "re=1"; // pictures read no faster than they play: the cut comes early
  ASSERT_EQ(Converter->AddTask(Source, &Realtime), 0) << Converter->LastError();
  TOutputOptions Defaults;
  ASSERT_TRUE(Converter->SetTaskOutput(0, OutputPath(0), &Defaults));
  std::atomic<bool> Cut{false};
  Converter->SetOnProgress([&](int, int, int, int, float, float, int64_t, int) {
    if (!Cut.exchange(true)) {
      ASSERT_EQ(::truncate(Source.c_str(), 10000), 0);
    }
  });
  TRunRecorder Recorder(*Converter);
  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  const auto Ends = Recorder.EndEvents();
  ASSERT_EQ(Ends.size(), 2u);
  EXPECT_EQ(Ends[0].Result.Outcome, TTaskOutcome::toIncomplete);
  EXPECT_EQ(Ends[0].Result.Reason.rfind("the source changed while it was converted: the output "
                                        "holds ",
                                        0),
            0u)
      << Ends[0].Result.Reason;
  EXPECT_NE(Ends[0].Result.Reason.find(" of 2.0 s of "), std::string::npos)
      << Ends[0].Result.Reason;
  EXPECT_EQ(Converter->Tasks(0).Result, Ends[0].Result);
  EXPECT_TRUE(std::filesystem::exists(OutputPath(0)));
}

} // namespace
} // namespace pelorix::test
