// What a run reports it read and wrote (RunSpans), on real conversions: whole clips, trimmed
// runs, copies, stopped runs.
#include "EngineRunFixture.h"
#include "MediaFacts.h"
#include "MediaTestSupport.h"

#include <unistd.h>

#include <filesystem>

namespace pelorix {
namespace {

namespace fs = std::filesystem;
using test::TestMedia;

class TRunSpansTest : public test::TEngineRunFixture {
protected:
  TRunSpansTest() : TEngineRunFixture("pelorix-spans") {}
};

TEST_F(TRunSpansTest, AWholeClipReportsItsLengthReadAndWritten) {
  Input("tone.wav");
  Engine.SetOption("acodec", "mp2");
  Output("tone.mp2");
  ASSERT_EQ(RunToEnd(), "");

  const TRunSpans& Spans = Engine.RunSpans();
  ASSERT_EQ(Spans.Inputs.size(), 1u);
  const TInputSpan& Input = Spans.Inputs[0];
  EXPECT_EQ(Input.FileName, TestMedia("tone.wav"));
  EXPECT_EQ(Input.ReadEnd, TReadEnd::reEndOfFile);
  EXPECT_EQ(Input.ErrorText, "");
  ASSERT_EQ(Input.Streams.size(), 1u);
  EXPECT_EQ(Input.Streams[0].Kind, AVMEDIA_TYPE_AUDIO);
  EXPECT_NEAR(Input.Streams[0].Start, 0.0, 1e-6);
  EXPECT_NEAR(Input.Streams[0].Duration(), 2.0, 0.001);
  EXPECT_GT(Input.Streams[0].FramesDecoded, 0);

  ASSERT_EQ(Spans.Outputs.size(), 1u);
  const TOutputStreamSpan& Written = Spans.Outputs[0];
  EXPECT_EQ(Written.Kind, AVMEDIA_TYPE_AUDIO);
  EXPECT_FALSE(Written.Copied);
  EXPECT_EQ(Written.SourceFile, 0);
  EXPECT_EQ(Written.SourceStream, 0);
  EXPECT_NEAR(Written.Duration, 2.0, 0.05);
  // What the engine says it wrote is what the file holds.
  const test::TMediaFacts Facts = test::ReadMediaFacts(Out("tone.mp2"));
  ASSERT_EQ(Facts.Streams.size(), 1u);
  EXPECT_EQ(Written.Packets, Facts.Streams[0].Packets);
  EXPECT_NEAR(Written.Duration, Facts.Streams[0].Duration, 0.001);
}

TEST_F(TRunSpansTest, ACopyReportsEveryStreamCopiedWhole) {
  Input("mpeg4_mp3.avi");
  Engine.SetOption("vcodec", "copy");
  Engine.SetOption("acodec", "copy");
  Output("copy.mkv");
  ASSERT_EQ(RunToEnd(), "");

  const TRunSpans& Spans = Engine.RunSpans();
  ASSERT_EQ(Spans.Inputs.size(), 1u);
  ASSERT_EQ(Spans.Inputs[0].Streams.size(), 2u);
  for (const TStreamSpan& Stream : Spans.Inputs[0].Streams) {
    EXPECT_NEAR(Stream.Duration(), 2.0, 0.05) << Stream.Kind;
    EXPECT_EQ(Stream.FramesDecoded, -1);
  }
  ASSERT_EQ(Spans.Outputs.size(), 2u);
  for (const TOutputStreamSpan& Written : Spans.Outputs) {
    EXPECT_TRUE(Written.Copied);
    EXPECT_NEAR(Written.Duration, 2.0, 0.05) << Written.Kind;
    EXPECT_GT(Written.Packets, 40);
  }
  EXPECT_EQ(Spans.Outputs[0].Kind, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(Spans.Outputs[1].Kind, AVMEDIA_TYPE_AUDIO);
}

TEST_F(TRunSpansTest, ATrimmedRunReportsTheTrimmedSpan) {
  // A start on the output side: the run's clock is the source's.
  Input("tone.wav");
  Engine.SetOption("ss", "0.5");
  Engine.SetOption("t", "1");
  Engine.SetOption("acodec", "pcm_s16le");
  Output("output_trim.wav");
  ASSERT_EQ(RunToEnd(), "");
  {
    const TRunSpans& Spans = Engine.RunSpans();
    ASSERT_EQ(Spans.Inputs.size(), 1u);
    EXPECT_EQ(Spans.Inputs[0].ReadEnd, TReadEnd::reLimit);
    const TStreamSpan& Read = Spans.Inputs[0].Streams.at(0);
    EXPECT_NEAR(Read.Start, 0.5, 1e-6);
    EXPECT_NEAR(Read.End, 1.5, 1e-6);
    EXPECT_NEAR(Spans.Outputs.at(0).Duration, 1.0, 0.05);
  }

  // A start seek on the input puts the seek point at 0.
  Engine.Reset();
  Engine.SetOption("ss", "0.5");
  Input("mpeg4_mp3.avi");
  Engine.SetOption("t", "1");
  Engine.SetOption("vcodec", "mpeg4");
  Engine.SetOption("acodec", "mp2");
  Output("input_trim.mkv");
  ASSERT_EQ(RunToEnd(), "");
  const TRunSpans& Spans = Engine.RunSpans();
  ASSERT_EQ(Spans.Inputs.at(0).Streams.size(), 2u);
  for (const TStreamSpan& Read : Spans.Inputs[0].Streams) {
    EXPECT_GE(Read.Start, 0.0) << Read.Kind;
    EXPECT_NEAR(Read.Duration(), 1.0, 0.05) << Read.Kind;
  }
  for (const TOutputStreamSpan& Written : Spans.Outputs)
    EXPECT_NEAR(Written.Duration, 1.0, 0.1) << Written.Kind;
}

// An encoder that holds sound back (MP3: about 0.14 s at 8000 Hz) and a source read in
// quarter-second packets took the whole 1 s clip into a half-second output before.
TEST_F(TRunSpansTest, SoundStopsAtTheDurationLimit) {
  Input("mono8k.wav");
  Engine.SetOption("t", "0.5");
  Engine.SetOption("acodec", "libmp3lame");
  Output("limited.avi");
  ASSERT_EQ(RunToEnd(), "");
  const TRunSpans& Spans = Engine.RunSpans();
  EXPECT_NEAR(Spans.Inputs.at(0).Streams.at(0).Duration(), 0.5, 1e-6);
  const test::TMediaFacts Facts = test::ReadMediaFacts(Out("limited.avi"));
  ASSERT_EQ(Facts.Streams.size(), 1u);
  EXPECT_NEAR(Facts.Streams[0].Duration, 0.5, 0.2);
  EXPECT_NEAR(Spans.Outputs.at(0).Duration, Facts.Streams[0].Duration, 0.001);
}

TEST_F(TRunSpansTest, AStoppedRunSaysSoAndWhatItHadRead) {
  Input("tone.wav");
  Engine.SetOption("acodec", "pcm_s16le");
  Output("stopped.wav");
  Engine.SetReportInterval(0);
  int Reports = 0;
  Engine.SetProgressCallback(
      [&](TCustomFFmpeg& ASender, int, int, int, float, float, int64_t, int) {
        if (++Reports == 3) ASender.RequestStop();
      });
  ASSERT_EQ(RunToEnd(), "");
  EXPECT_FALSE(Engine.Finished());

  const TRunSpans& Spans = Engine.RunSpans();
  ASSERT_EQ(Spans.Inputs.size(), 1u);
  EXPECT_EQ(Spans.Inputs[0].ReadEnd, TReadEnd::reStopped);
  const TStreamSpan& Read = Spans.Inputs[0].Streams.at(0);
  EXPECT_GT(Read.Packets, 0);
  EXPECT_LT(Read.Duration(), 1.0);
  EXPECT_NEAR(Spans.Outputs.at(0).Duration, Read.Duration(), 0.05);

  // A new start forgets them.
  Engine.Reset();
  EXPECT_TRUE(Engine.RunSpans().Empty());
}

} // namespace
} // namespace pelorix
