// The output check on real files: what counts as complete, what each miss reads as, and a
// source cut short while it converts, which ends incomplete, never converted.
#include "OutputCheck.h"
#include "ConverterTestSupport.h"
#include "EngineRunFixture.h"

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
  EXPECT_EQ(OutputShortfall(TestMedia("sar4x3.mp4"), {{AVMEDIA_TYPE_AUDIO, 0, 1.0}}),
            "the output holds no audio");
  // A number whose stream is of another kind (program streams number as they read) is no
  // guide: the longest stream of the kind counts.
  EXPECT_EQ(OutputShortfall(Clip, {{AVMEDIA_TYPE_AUDIO, 0, 2.0}}), "");
  // Less than the tolerance read may be missing altogether.
  EXPECT_EQ(OutputShortfall(Tone, {{AVMEDIA_TYPE_VIDEO, -1, 0.3}}), "");
  EXPECT_EQ(OutputShortfall(Tone, {{AVMEDIA_TYPE_VIDEO, -1, 0.6}}), "the output holds no video");
  EXPECT_EQ(OutputShortfall(TestMedia("garbage.bin"), {{AVMEDIA_TYPE_AUDIO, -1, 2.0}})
                .rfind("the output does not open as media: ", 0),
            0u);
}

class TRunOutputCheckTest : public TEngineRunFixture {
protected:
  TRunOutputCheckTest() : TEngineRunFixture("pelorix-run-check") {}

  // Converts AClip to AName (MPEG-4 and MP2 in AVI), ASeconds of it when > 0; the run's spans.
  TRunSpans Convert(const std::string& AClip, const std::string& AName, double ASeconds = -1) {
    Engine.Reset();
    Input(AClip);
    Engine.SetOption("vcodec", "mpeg4");
    Engine.SetOption("acodec", "mp2");
    if (ASeconds > 0) Engine.SetOption("t", std::to_string(ASeconds));
    Output(AName);
    EXPECT_EQ(RunToEnd(), "");
    return Engine.RunSpans();
  }
};

// Each stream written is measured against what the run read of its own source stream: a whole
// run passes, and the same spans find a shorter output short, per kind, with its figures.
TEST_F(TRunOutputCheckTest, AnOutputShortOfWhatWasReadIsNamedWithItsFigures) {
  const TRunSpans Whole = Convert("mpeg4_mp3.avi", "whole.avi");
  TOutputSetting Setting;
  Setting.Source.AudioStreamCount = Setting.Source.VideoStreamCount = 1;
  EXPECT_EQ(RunOutputShortfall(Out("whole.avi"), Setting, Whole), "");
  const std::vector<TExpectedStream> Expected = ExpectedOutput(Setting, Whole);
  ASSERT_EQ(Expected.size(), 2u);
  EXPECT_EQ(Expected[0].StreamIndex, 0);
  EXPECT_NEAR(Expected[0].Seconds, 2.0, 0.05);
  EXPECT_EQ(Expected[1].Kind, AVMEDIA_TYPE_AUDIO);
  EXPECT_NEAR(Expected[1].Seconds, 2.0, 0.05);

  // A run limited to 1.2 s read only that: its own output is complete.
  const TRunSpans Limited = Convert("mpeg4_mp3.avi", "part.avi", 1.2);
  EXPECT_EQ(RunOutputShortfall(Out("part.avi"), Setting, Limited), "");
  // Against what the whole run read, the picture stream comes first and falls short.
  EXPECT_EQ(RunOutputShortfall(Out("part.avi"), Setting, Whole),
            "the output holds 1.2 of 2.0 s of video");
  Setting.DropsVideo = true;
  TRunSpans SoundOnly = Whole;
  std::erase_if(SoundOnly.Outputs, [](const TOutputStreamSpan& AStream) {
    return AStream.Kind == AVMEDIA_TYPE_VIDEO;
  });
  EXPECT_EQ(RunOutputShortfall(Out("part.avi"), Setting, SoundOnly),
            "the output holds 1.2 of 2.0 s of audio");
}

// What legitimately differs from what was read asks less: a cover picture nothing, a stream
// read with no time inside the limits nothing, and a picture stream may show its last picture
// on (a held last picture) but never fall short.
TEST_F(TRunOutputCheckTest, CoversEmptyStreamsAndHeldPicturesAskOnlyWhatTheyCan) {
  const TRunSpans Read = Convert("mpeg4_mp3.avi", "whole.avi");
  const TOutputSetting Setting; // no probe: only the run's streams count
  TRunSpans Changed = Read;
  TStreamSpan& Picture = Changed.Inputs[0].Streams[0];
  ASSERT_EQ(Picture.Kind, AVMEDIA_TYPE_VIDEO);
  Picture.End = Picture.Start + 0.5; // the source's last picture held 1.5 s longer
  EXPECT_EQ(RunOutputShortfall(Out("whole.avi"), Setting, Changed), "");
  Picture.End = Picture.Start + 9.0;
  EXPECT_EQ(RunOutputShortfall(Out("whole.avi"), Setting, Changed),
            "the output holds 2.0 of 9.0 s of video");
  Picture.AttachedPicture = true;
  EXPECT_EQ(RunOutputShortfall(Out("whole.avi"), Setting, Changed), "");
  TStreamSpan& Sound = Changed.Inputs[0].Streams[1];
  Sound.End = Sound.Start + 5.0;
  EXPECT_EQ(RunOutputShortfall(Out("whole.avi"), Setting, Changed),
            "the output holds 2.0 of 5.0 s of audio");
  Sound.HasSpan = false; // read, but all of it outside the limits
  EXPECT_EQ(RunOutputShortfall(Out("whole.avi"), Setting, Changed), "");
  // Without the run's streams the source's probe tells what to look for.
  TOutputSetting Probed;
  Probed.Source.AudioStreamCount = 1;
  Probed.Source.VideoStreamCount = 0;
  EXPECT_EQ(RunOutputShortfall(TestMedia("tone.mp3"), Probed, TRunSpans{}), "");
  Probed.Source.VideoStreamCount = 1;
  EXPECT_EQ(RunOutputShortfall(TestMedia("tone.mp3"), Probed, TRunSpans{}),
            "the output holds no video");
  // Sound that lasts longer than what was read is no better than less.
  Sound = Read.Inputs[0].Streams[1];
  Sound.End = Sound.Start + 1.0;
  EXPECT_EQ(RunOutputShortfall(Out("whole.avi"), Setting, Changed),
            "the output holds 2.0 of 1.0 s of audio");
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
