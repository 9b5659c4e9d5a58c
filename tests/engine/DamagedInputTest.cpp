// Damaged sources end the run with an error, not as converted: a stream none of whose packets
// decodes (whatever the decoder's threads), and a file whose reading fails before its end. What
// could be converted is written all the same.
#include "EngineRunFixture.h"
#include "MediaFacts.h"
#include "MediaTestSupport.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace pelorix {
namespace {

namespace fs = std::filesystem;
using test::TestMedia;

class TDamagedInputTest : public test::TEngineRunFixture {
protected:
  TDamagedInputTest() : TEngineRunFixture("pelorix-damaged") {}
};

TEST_F(TDamagedInputTest, AStreamOfWhichNothingDecodesFailsTheRunWithAnyThreadCount) {
  for (const int Threads : {1, 2, 4}) {
    SCOPED_TRACE(Threads);
    Engine.Reset();
    Engine.SetThreadCount(Threads);
    Input("undecodable_video.avi");
    Engine.SetOption("vcodec", "mpeg4");
    Engine.SetOption("acodec", "mp2");
    Output("undecodable.avi");
    EXPECT_EQ(RunToEnd(),
              "Error while decoding stream #0.0 (utvideo): no picture of it could be decoded");
    EXPECT_FALSE(Engine.Finished());

    const TRunSpans& Spans = Engine.RunSpans();
    ASSERT_EQ(Spans.Inputs.size(), 1u);
    ASSERT_EQ(Spans.Inputs[0].Streams.size(), 2u);
    EXPECT_EQ(Spans.Inputs[0].ReadEnd, TReadEnd::reEndOfFile);
    EXPECT_EQ(Spans.Inputs[0].Streams[0].FramesDecoded, 0);
    EXPECT_EQ(Spans.Inputs[0].Streams[0].Packets, 50);
    EXPECT_GT(Spans.Inputs[0].Streams[1].FramesDecoded, 70);
  }
}

TEST_F(TDamagedInputTest, TheSameStreamCopiedIsNoFailure) {
  // A copy does not decode: the packets are all there is to it.
  Input("undecodable_video.avi");
  Engine.SetOption("vcodec", "copy");
  Engine.SetOption("an", "");
  Output("copied.avi");
  EXPECT_EQ(RunToEnd(), "");
  EXPECT_EQ(test::ReadMediaFacts(Out("copied.avi")).Streams.at(0).Packets, 50);
}

TEST_F(TDamagedInputTest, AReadErrorFailsTheRunAndKeepsWhatWasConverted) {
  Input("read_error.nut");
  Engine.SetOption("vcodec", "mpeg4");
  Engine.SetOption("acodec", "mp2");
  Output("partial.mkv");
  EXPECT_EQ(RunToEnd(), "Error while reading '" + TestMedia("read_error.nut") +
                            "': Invalid data found when processing input: the input could not "
                            "be read to its end");

  const TRunSpans& Spans = Engine.RunSpans();
  ASSERT_EQ(Spans.Inputs.size(), 1u);
  EXPECT_EQ(Spans.Inputs[0].ReadEnd, TReadEnd::reReadError);
  EXPECT_EQ(Spans.Inputs[0].ErrorText, "Invalid data found when processing input");
  ASSERT_EQ(Spans.Inputs[0].Streams.size(), 2u);
  for (const TStreamSpan& Read : Spans.Inputs[0].Streams) {
    EXPECT_GT(Read.Duration(), 0.5) << Read.Kind;
    EXPECT_LT(Read.Duration(), 1.5) << Read.Kind;
  }

  // The good part is in the file, whole: headers, packets and the closing index.
  const test::TMediaFacts Facts = test::ReadMediaFacts(Out("partial.mkv"));
  ASSERT_TRUE(Facts.Opened);
  ASSERT_EQ(Facts.Streams.size(), 2u);
  for (size_t I = 0; I < 2; ++I)
    EXPECT_NEAR(Facts.Streams[I].Duration, Spans.Outputs.at(I).Duration, 0.05) << I;
  EXPECT_NEAR(Facts.Streams[0].Duration, Spans.Inputs[0].Streams[0].Duration(), 0.1);
}

TEST_F(TDamagedInputTest, ATimeJumpPastTheStreamsLengthIsTakenAsDamage) {
  for (const char* Output : {"jump.avi", "jump.mkv"}) {
    SCOPED_TRACE(Output);
    Engine.Reset();
    Input("time_jump.mp4");
    Engine.SetOption("vcodec", "mpeg4");
    Engine.SetOption("acodec", "mp2");
    this->Output(Output);
    EXPECT_EQ(RunToEnd(), "");
    const test::TMediaFacts Facts = test::ReadMediaFacts(Out(Output));
    ASSERT_EQ(Facts.Streams.size(), 2u);
    EXPECT_NEAR(Facts.Streams[0].Duration, 2.0, 0.1);
    EXPECT_LT(Facts.Duration(), 3.0);
    EXPECT_GE(Facts.Streams[0].Packets, 49);
    const auto Lines = Recorder.LogLines();
    EXPECT_TRUE(std::any_of(Lines.begin(), Lines.end(), [](const test::TLogLine& ALine) {
      return ALine.Level == 0 && ALine.Text.find("taken as damage") != std::string::npos;
    }));
  }
}

TEST_F(TDamagedInputTest, AStopIsNoReadError) {
  Input("read_error.nut");
  Engine.SetOption("vcodec", "mpeg4");
  Engine.SetOption("acodec", "mp2");
  Output("stopped.mkv");
  Engine.SetReportInterval(0);
  Engine.SetProgressCallback([](TCustomFFmpeg& ASender, int, int, int, float, float, int64_t, int) {
    ASender.RequestStop();
  });
  EXPECT_EQ(RunToEnd(), "");
  EXPECT_EQ(Engine.RunSpans().Inputs.at(0).ReadEnd, TReadEnd::reStopped);
  EXPECT_TRUE(fs::exists(Out("stopped.mkv")));
}

} // namespace
} // namespace pelorix
