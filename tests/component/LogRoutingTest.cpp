// The media libraries' log lines on their way to OnLog: assembly per thread, the source
// prefix, level filtering and mapping, and the task a line is routed to.
#include "LogRouting.h"
#include "AVUtilHlpr.h"
#include "ConverterTestSupport.h"

#include <cinttypes>
#include <cstdio>
#include <future>

namespace pelorix {
namespace {

using test::TConverterTest;
using test::TLogRecord;
using test::TRunRecorder;

const char* SourceName(void*) { return "TestSource"; }
const AVClass SourceClass = [] {
  AVClass Class{};
  Class.class_name = "TestClass";
  Class.item_name = SourceName;
  Class.version = LIBAVUTIL_VERSION_INT;
  return Class;
}();
struct TSource {
  const AVClass* Class = &SourceClass;
};

std::vector<std::string> Texts(const std::vector<TLogRecord>& ALines) {
  std::vector<std::string> Result;
  for (const auto& Line : ALines) Result.push_back(Line.Text);
  return Result;
}

TEST_F(TConverterTest, LibraryLinesAreAssembledPerThreadAndSplitAtLineFeeds) {
  TRunRecorder Recorder(*Converter);
  TSource Source;
  AVUtil().av_log(&Source, AV_LOG_INFO, "first %s", "half ");
  AVUtil().av_log(&Source, AV_LOG_INFO, "second half\nnext line\nrest");
  EXPECT_EQ(Texts(Recorder.LogEvents()).size(), 2u);
  AVUtil().av_log(nullptr, AV_LOG_WARNING, " of the line\n");

  char Prefix[64];
  std::snprintf(Prefix, sizeof Prefix, "[TestSource @ %08" PRIX32 "]",
                static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&SourceClass)));
  const auto Lines = Recorder.LogEvents();
  EXPECT_EQ(Texts(Lines), (std::vector<std::string>{std::string(Prefix) + "first half second half",
                                                    "next line", "rest of the line"}));
  for (const auto& Line : Lines) {
    EXPECT_EQ(Line.Index, -1);
    EXPECT_EQ(Line.Level, TLogLevel::llInfo);
  }
}

TEST_F(TConverterTest, LibraryLevelsAreFilteredAndMappedBeforeRouting) {
  TRunRecorder Recorder(*Converter); // LogLevel llInfo: the libraries pass up to INFO
  AVUtil().av_log(nullptr, AV_LOG_DEBUG, "hidden\n");
  AVUtil().av_log(nullptr, AV_LOG_VERBOSE, "hidden too\n");
  AVUtil().av_log(nullptr, AV_LOG_ERROR | (0x86 << 8), "coloured error\n");
  AVUtil().av_log(nullptr, AV_LOG_FATAL, "fatal\n");
  Converter->SetLogLevel(TLogLevel::llAll);
  AVUtil().av_log(nullptr, AV_LOG_TRACE, "trace\n");
  AVUtil().av_log(nullptr, AV_LOG_VERBOSE, "verbose\n");
  const auto Lines = Recorder.LogEvents();
  ASSERT_EQ(Texts(Lines),
            (std::vector<std::string>{"coloured error", "fatal", "trace", "verbose"}));
  EXPECT_EQ(Lines[0].Level, TLogLevel::llError);
  EXPECT_EQ(Lines[1].Level, TLogLevel::llError);
  EXPECT_EQ(Lines[2].Level, TLogLevel::llAll);
  EXPECT_EQ(Lines[3].Level, TLogLevel::llDebug);
}

TEST_F(TConverterTest, LineFromAThreadWithoutATaskReachesEveryConverterWithoutIndex) {
  TVexoConverter Second;
  TRunRecorder First(*Converter), Other(Second);
  std::thread Helper([] { AVUtil().av_log(nullptr, AV_LOG_INFO, "from a helper\n"); });
  Helper.join();
  for (auto* Recorder : {&First, &Other}) {
    const auto Lines = Recorder->LogEvents();
    ASSERT_EQ(Texts(Lines), (std::vector<std::string>{"from a helper"}));
    EXPECT_EQ(Lines[0].Index, -1);
    EXPECT_NE(Lines[0].Thread, std::this_thread::get_id());
  }
}

// An unfinished line belongs to the thread that wrote it, whichever converter that thread
// serves: neither a Start nor the end of a run of another converter drops it.
TEST_F(TConverterTest, UnfinishedLinesOfOtherThreadsSurviveAStartAndARunsEnd) {
  TVexoConverter Other;
  TRunRecorder Watcher(Other);
  std::promise<void> HalfWritten, RunOver;
  std::thread Writer([&, Done = RunOver.get_future()] {
    AVUtil().av_log(nullptr, AV_LOG_INFO, "first half ");
    HalfWritten.set_value();
    Done.wait();
    AVUtil().av_log(nullptr, AV_LOG_INFO, "second half\n");
  });
  HalfWritten.get_future().wait();
  TRunRecorder Recorder(*Converter);
  AddConfigured("mono8k.wav", nullptr, "wav");
  Converter->Start(1);
  const bool Ended = Recorder.WaitForFinal();
  RunOver.set_value();
  Writer.join();
  ASSERT_TRUE(Ended);
  std::vector<std::string> Joined;
  for (const auto& Line : Watcher.LogEvents())
    if (Line.Thread != std::this_thread::get_id() && Line.Text.find("half") != std::string::npos)
      Joined.push_back(Line.Text);
  EXPECT_EQ(Joined, std::vector<std::string>{"first half second half"});
}

TEST(TLogListTest, AThreadHoldsAnItemOnlyWhileItsLineIsUnfinished) {
  TLogList Lines;
  const std::thread::id A = std::this_thread::get_id();
  std::thread::id B;
  std::thread([&] { B = std::this_thread::get_id(); }).join();
  EXPECT_TRUE(Lines.Feed(A, "a1", false).empty());
  EXPECT_TRUE(Lines.Feed(B, "b1", false).empty());
  EXPECT_EQ(Lines.Feed(A, "a1 a2\n", false), std::vector<std::string>{"a1 a2"});
  // A's line is done: its place is free, and B's unfinished line stays.
  EXPECT_EQ(Lines.Pending(A), "");
  EXPECT_EQ(Lines.Pending(B), "b1");
  EXPECT_TRUE(Lines.Feed(A, "again", false).empty());
  Lines.Forget(A);
  EXPECT_EQ(Lines.Pending(A), "");
  EXPECT_EQ(Lines.Feed(B, "b1 b2\n", false), std::vector<std::string>{"b1 b2"});
}

TEST(TLogListTest, LongMessagesAreCutToTheAreaAndEndTheirLine) {
  const std::string Long(3000, 'x');
  va_list None{};
  bool Cut = false;
  // The pending text alone fills the area: the message is cut off entirely.
  const std::string Text = AssembleLibraryMessage(Long, nullptr, nullptr, None, Cut);
  EXPECT_TRUE(Cut);
  EXPECT_EQ(Text.size(), LogAreaSize - 1);
  TLogList Lines;
  const auto Finished = Lines.Feed(std::this_thread::get_id(), "a\n" + Text, Cut);
  ASSERT_EQ(Finished.size(), 2u);
  EXPECT_EQ(Finished[1].size(), LogAreaSize - 1);
  EXPECT_EQ(Lines.Pending(std::this_thread::get_id()), "");
}

// Calls the log dispatcher directly, as an engine does.
class TDispatchingConverter : public TCustomConverter {
public:
  using TCustomConverter::DoLog;
  using TCustomConverter::SetLogLevel;
  using TCustomConverter::SetOnLog;
};

TEST(TCustomConverterTest, DoLogMapsEngineLevelsAndFiltersNothing) {
  TDispatchingConverter Converter;
  Converter.SetLogLevel(TLogLevel::llQuiet);
  std::vector<std::pair<int, TLogLevel>> Seen;
  Converter.SetOnLog(
      [&](int AIndex, TLogLevel ALevel, const std::string&) { Seen.emplace_back(AIndex, ALevel); });
  for (int Level : {7, -1, 0, 1, 2, 3}) Converter.DoLog(nullptr, Level, "line");
  EXPECT_EQ(Seen, (std::vector<std::pair<int, TLogLevel>>{{-1, TLogLevel::llAll},
                                                          {-1, TLogLevel::llQuiet},
                                                          {-1, TLogLevel::llError},
                                                          {-1, TLogLevel::llInfo},
                                                          {-1, TLogLevel::llDebug},
                                                          {-1, TLogLevel::llAll}}));
}

TEST_F(TConverterTest, LibraryLinesOfConsecutiveTasksOnOneThreadCarryTheirOwnIndex) {
  Converter->SetLogLevel(TLogLevel::llDebug);
  AddConfigured("mpeg4_mp3.avi");
  AddConfigured("h264_aac.mp4");
  // One sequence of log lines and ends, in the order raised (all under the converter's lock).
  std::vector<std::pair<int, std::string>> Events; // index, text ("" for an end)
  Converter->SetOnLog([&](int AIndex, TLogLevel, const std::string& AText) {
    Events.emplace_back(AIndex, AText.empty() ? " " : AText);
  });
  Converter->SetOnTerminate(
      [&](int AIndex, const TTaskResult&) { Events.emplace_back(AIndex, ""); });
  Converter->Start(0);
  ASSERT_TRUE(Converter->TimerPump().RunUntilIdle());

  int Ended = 0;
  int LibraryLines[2] = {0, 0};
  for (const auto& [Index, Text] : Events) {
    if (Text.empty()) {
      EXPECT_EQ(Index, Ended < 2 ? Ended : -1);
      ++Ended;
      continue;
    }
    // While task N runs, every line of the thread is task N's; between runs, nobody's.
    if (Index >= 0) {
      EXPECT_EQ(Index, Ended) << Text;
    }
    if (Index >= 0 && Text[0] == '[') ++LibraryLines[Index];
  }
  EXPECT_EQ(Ended, 3);
  EXPECT_GT(LibraryLines[0], 0);
  EXPECT_GT(LibraryLines[1], 0);
}

TEST_F(TConverterTest, AssigningOnLogWhileTasksOpenCodecsIsSafe) {
  Converter->SetLogLevel(TLogLevel::llDebug);
  std::atomic<bool> Done{false};
  Converter->SetOnTerminate([&](int AIndex, const TTaskResult&) {
    if (AIndex < 0) Done = true;
  });
  AddConfigured("mpeg4_mp3.avi");
  AddConfigured("ntsc.mp4");
  Converter->Start(2);
  std::atomic<int> Lines{0};
  for (int Round = 0; !Done; ++Round) {
    Converter->SetOnLog([&Lines, Round](int, TLogLevel, const std::string& AText) {
      Lines += static_cast<int>(AText.size() > 0) + Round * 0;
    });
    std::this_thread::yield();
  }
  EXPECT_GT(Lines, 0);
  ExpectValidOutput(0);
  ExpectValidOutput(1);
}

} // namespace
} // namespace pelorix
