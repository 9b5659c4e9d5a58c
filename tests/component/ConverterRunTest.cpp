// Runs of the converter with real conversions of the generated clips on real threads: order
// and number of end events, concurrency, runs on the calling thread, stops, and tasks or the
// converter itself going away while threads still report.
#include "ConverterTestSupport.h"

#include <algorithm>
#include <set>

namespace pelorix {
namespace {

using test::TConverterTest;
using test::TEndEvent;
using test::TRunRecorder;

const std::vector<std::string> ThreeClips{"mpeg4_mp3.avi", "h264_aac.mp4", "ntsc.mp4"};

// A flag other threads wait for, with a generous limit.
class TSignal {
public:
  void Raise() {
    std::lock_guard Guard(Lock);
    Raised = true;
    Changed.notify_all();
  }
  bool Wait() {
    std::unique_lock Guard(Lock);
    return Changed.wait_for(Guard, std::chrono::seconds(60), [this] { return Raised; });
  }

private:
  std::mutex Lock;
  std::condition_variable Changed;
  bool Raised = false;
};

// Counts how many tasks run at once: a task runs from its first progress to its end.
class TOverlap {
public:
  void Progress(int AIndex) {
    std::lock_guard Guard(Lock);
    if (Seen.insert(AIndex).second) {
      Order.push_back(AIndex);
      Most = std::max(Most, ++Running);
    }
  }
  void End(int AIndex) {
    std::lock_guard Guard(Lock);
    if (AIndex >= 0 && Seen.count(AIndex)) --Running;
  }
  int MostAtOnce() {
    std::lock_guard Guard(Lock);
    return Most;
  }
  std::vector<int> StartOrder() {
    std::lock_guard Guard(Lock);
    return Order;
  }

private:
  std::mutex Lock;
  std::set<int> Seen;
  std::vector<int> Order;
  int Running = 0, Most = 0;
};

void ExpectCleanEnd(const TEndEvent& AEnd, bool AFinished) {
  EXPECT_EQ(AEnd.Finished, AFinished) << "task " << AEnd.Index;
  EXPECT_FALSE(AEnd.Exception) << "task " << AEnd.Index << ": " << AEnd.Message;
  EXPECT_EQ(AEnd.Message, "");
}

TEST_F(TConverterTest, StartOneRunsTasksOneAtATimeInListOrder) {
  TOverlap Overlap;
  TRunRecorder Recorder(*Converter, [&](int AIndex) { Overlap.End(AIndex); });
  Converter->SetOnProgress(
      [&](int AIndex, int, int, int, float, float, int64_t, int) { Overlap.Progress(AIndex); });
  for (const auto& Clip : ThreeClips) AddConfigured(Clip);

  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  EXPECT_EQ(Recorder.EndIndexes(), (std::vector<int>{0, 1, 2, -1}));
  for (const auto& End : Recorder.EndEvents()) ExpectCleanEnd(End, true);
  EXPECT_EQ(Overlap.StartOrder(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(Overlap.MostAtOnce(), 1);
  // Each task reported from its own worker thread (the next one is started from there, so
  // neighbours differ), none from the caller's.
  const auto Ends = Recorder.EndEvents();
  for (size_t I = 0; I < 3; ++I) {
    EXPECT_NE(Ends[I].Thread, std::this_thread::get_id());
    if (I > 0) {
      EXPECT_NE(Ends[I].Thread, Ends[I - 1].Thread);
    }
  }
  for (int I = 0; I < 3; ++I) ExpectValidOutput(I);
}

TEST_F(TConverterTest, StartTwoRunsTwoAtOnceAndTheThirdWhenOneEnds) {
  // The first task holds its first picture (in the custom hook, which runs without the
  // converter's lock) until the second task has shown one: only two tasks running at the same
  // time get past that.
  TSignal SecondRuns;
  std::atomic<int> Ended{0};
  std::atomic<int> EndedWhenThirdStarted{-1};
  std::atomic<bool> FirstWaitedInVain{false}, FirstHeld{false};
  TRunRecorder Recorder(*Converter, [&](int AIndex) {
    if (AIndex >= 0) ++Ended;
  });
  Converter->SetOnCustomHook([&](int AIndex, THookBitmap&, int, int64_t, bool&, bool&) {
    if (AIndex == 0) {
      if (!FirstHeld.exchange(true)) FirstWaitedInVain = !SecondRuns.Wait();
    } else if (AIndex == 1) {
      SecondRuns.Raise();
    } else if (EndedWhenThirdStarted == -1) {
      EndedWhenThirdStarted = Ended.load();
    }
  });
  TOutputOptions Hooked;
  Hooked.CustomHook = true;
  for (const auto& Clip : ThreeClips) AddConfigured(Clip, &Hooked);

  Converter->Start(2);
  ASSERT_TRUE(Recorder.WaitForFinal());
  EXPECT_FALSE(FirstWaitedInVain);
  EXPECT_GE(EndedWhenThirdStarted, 1);
  const auto Indexes = Recorder.EndIndexes();
  ASSERT_EQ(Indexes.size(), 4u);
  EXPECT_EQ(std::multiset<int>(Indexes.begin(), Indexes.end() - 1), (std::multiset<int>{0, 1, 2}));
  EXPECT_EQ(Indexes.back(), -1);
  for (const auto& End : Recorder.EndEvents()) ExpectCleanEnd(End, true);
  for (int I = 0; I < 3; ++I) ExpectValidOutput(I);
}

TEST_F(TConverterTest, StartZeroRunsEachTaskOnThePumpingThread) {
  TRunRecorder Recorder(*Converter);
  std::atomic<int> ForeignProgress{0};
  const auto Self = std::this_thread::get_id();
  Converter->SetOnProgress([&](int AIndex, int, int, int, float, float, int64_t, int) {
    if (std::this_thread::get_id() != Self || Converter->Tasks(AIndex).ThreadID() != Self)
      ++ForeignProgress;
  });
  AddConfigured("mpeg4_mp3.avi");
  AddConfigured("h264_aac.mp4");

  Converter->Start(0);
  // Nothing runs before the timer fires; then each end starts the next task's timer.
  EXPECT_EQ(Converter->TimerPump().PendingCount(), 1u);
  EXPECT_TRUE(Recorder.EndEvents().empty());
  ASSERT_TRUE(Converter->TimerPump().FireNext(std::chrono::seconds(5)));
  EXPECT_EQ(Recorder.EndIndexes(), (std::vector<int>{0}));
  EXPECT_EQ(Converter->TimerPump().PendingCount(), 1u);
  ASSERT_TRUE(Converter->TimerPump().RunUntilIdle());

  EXPECT_EQ(Recorder.EndIndexes(), (std::vector<int>{0, 1, -1}));
  for (const auto& End : Recorder.EndEvents()) {
    ExpectCleanEnd(End, true);
    EXPECT_EQ(End.Thread, Self);
  }
  EXPECT_EQ(ForeignProgress, 0);
  ExpectValidOutput(0);
  ExpectValidOutput(1);
}

TEST_F(TConverterTest, StopDuringTheFirstEndsEveryTaskOnceAndTheRunOnce) {
  TRunRecorder Recorder(*Converter);
  Converter->SetOnCustomHook(
      [&](int, THookBitmap&, int, int64_t, bool&, bool&) { Converter->Stop(); });
  TOutputOptions Hooked;
  Hooked.CustomHook = true;
  for (const auto& Clip : ThreeClips) AddConfigured(Clip, &Hooked);
  ASSERT_TRUE(std::filesystem::exists(OutputPath(2))); // opened, still empty

  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  // The stopped run and the two never-started tasks end in any order, the run last.
  auto Ends = Recorder.EndEvents();
  ASSERT_EQ(Ends.size(), 4u);
  EXPECT_EQ(Ends[3].Index, -1);
  ExpectCleanEnd(Ends[3], true);
  Ends.pop_back();
  std::sort(Ends.begin(), Ends.end(),
            [](const TEndEvent& A, const TEndEvent& B) { return A.Index < B.Index; });
  for (int I = 0; I < 3; ++I) {
    EXPECT_EQ(Ends[I].Index, I);
    ExpectCleanEnd(Ends[I], false);
  }
  // The never-started tasks reported from threads of their own and left no empty output.
  EXPECT_EQ(std::set<std::thread::id>(
                {Ends[0].Thread, Ends[1].Thread, Ends[2].Thread, std::this_thread::get_id()})
                .size(),
            4u);
  EXPECT_FALSE(std::filesystem::exists(OutputPath(1)));
  EXPECT_FALSE(std::filesystem::exists(OutputPath(2)));
  EXPECT_TRUE(std::filesystem::exists(OutputPath(0)));
}

TEST_F(TConverterTest, StopOfFiftyTasksReportsFiftyEndsAndOneFinalEvent) {
  TRunRecorder Recorder(*Converter);
  Converter->SetOnProgress(
      [&](int, int, int, int, float, float, int64_t, int) { Converter->Stop(); });
  for (int I = 0; I < 50; ++I) AddConfigured("mono8k.wav", nullptr, "wav");

  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  const auto Indexes = Recorder.EndIndexes();
  ASSERT_EQ(Indexes.size(), 51u);
  EXPECT_EQ(Indexes.back(), -1);
  std::set<int> Ended(Indexes.begin(), Indexes.end() - 1);
  EXPECT_EQ(Ended.size(), 50u);
  EXPECT_EQ(*Ended.begin(), 0);
  EXPECT_EQ(*Ended.rbegin(), 49);
}

TEST_F(TConverterTest, FailedStartEndsItsTaskAndTheRunStillEndsOnce) {
  TRunRecorder Recorder(*Converter);
  AddConfigured("mpeg4_mp3.avi");
  ASSERT_EQ(Converter->AddTask(test::TestMedia("h264_aac.mp4")), 1); // no output
  AddConfigured("ntsc.mp4");

  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  const auto Ends = Recorder.EndEvents();
  ASSERT_EQ(Recorder.EndIndexes(), (std::vector<int>{0, 1, 2, -1}));
  EXPECT_TRUE(Ends[1].Exception);
  EXPECT_EQ(Ends[1].Message, "Must supply at least one output file");
  ExpectCleanEnd(Ends[2], true);
  ExpectCleanEnd(Ends[3], true);
  bool Logged = false;
  for (const auto& Line : Recorder.LogEvents())
    Logged = Logged || (Line.Index == 1 && Line.Level == TLogLevel::llQuiet &&
                        Line.Text == "Must supply at least one output file");
  EXPECT_TRUE(Logged);
}

TEST_F(TConverterTest, ClearTasksFromTheFinalEventLeavesAConverterReadyForTheNextRun) {
  TRunRecorder Recorder(*Converter, [&](int AIndex) {
    if (AIndex < 0) Converter->ClearTasks();
  });
  AddConfigured("mpeg4_mp3.avi");
  AddConfigured("h264_aac.mp4");
  ASSERT_EQ(Converter->AddTask("/no/such/file.avi"), -1); // leaves a last error
  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  EXPECT_EQ(Converter->TaskCount(), 0);
  EXPECT_EQ(Converter->LastError(), "");

  TRunRecorder Again(*Converter);
  EXPECT_EQ(AddConfigured("ntsc.mp4"), 0);
  Converter->Start(1);
  ASSERT_TRUE(Again.WaitForFinal());
  EXPECT_EQ(Again.EndIndexes(), (std::vector<int>{0, -1}));
  ExpectValidOutput(0);
}

TEST_F(TConverterTest, DestroyingTheConverterMidRunStopsAndWaitsForEveryTask) {
  TSignal Running;
  std::atomic<int> Events{0}, InHandler{0};
  Converter->SetOnTerminate([&](int, bool, bool, const std::string&) { ++Events; });
  Converter->SetOnCustomHook([&](int, THookBitmap&, int, int64_t, bool&, bool&) {
    ++InHandler;
    Running.Raise();
    --InHandler;
  });
  TOutputOptions Hooked;
  Hooked.CustomHook = true;
  for (const auto& Clip : ThreeClips) AddConfigured(Clip, &Hooked);
  Converter->Start(2);
  ASSERT_TRUE(Running.Wait());
  Converter.reset();
  // Every thread has left the converter; tasks that had not ended by then report nothing.
  EXPECT_EQ(InHandler, 0);
  EXPECT_LE(Events, 4);
}

TEST_F(TConverterTest, RemoveTaskRenumbersTheTasksAfterIt) {
  for (const auto& Clip : ThreeClips) {
    TInputOptions Options;
    ASSERT_GE(Converter->AddTask(test::TestMedia(Clip), &Options), 0);
    EXPECT_EQ(Options.FileName, test::TestMedia(Clip)); // the caller's record is filled
  }
  Converter->RemoveTask(0);
  ASSERT_EQ(Converter->TaskCount(), 2);
  for (int I = 0; I < 2; ++I) {
    EXPECT_EQ(Converter->Tasks(I).Index(), I);
    EXPECT_EQ(Converter->Tasks(I).InputOptions().FileName, test::TestMedia(ThreeClips[I + 1]));
  }
  EXPECT_THROW(Converter->RemoveTask(2), TTaskIndexError);
  EXPECT_THROW(Converter->Tasks(-1), TTaskIndexError);
}

TEST_F(TConverterTest, TaskInputContextAndProbeLetGoOfTheInputWhenTheRunFreesIt) {
  TRunRecorder Recorder(*Converter);
  AddConfigured("mpeg4_mp3.avi");
  ASSERT_NE(Converter->TaskInputContext(0), nullptr);
  EXPECT_EQ(std::string(Converter->TaskInputContext(0)->url), test::TestMedia("mpeg4_mp3.avi"));
  EXPECT_EQ(Converter->Tasks(0).Probe().StreamCount(), 2);
  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  EXPECT_EQ(Converter->TaskInputContext(0), nullptr);
  EXPECT_EQ(Converter->Tasks(0).Probe().StreamCount(), -1);
}

TEST_F(TConverterTest, AddTaskFailuresLeaveNoTaskAndSayWhy) {
  TInputOptions Forced;
  Forced.FileFormat = "nosuchformat";
  EXPECT_EQ(Converter->AddTask(test::TestMedia("mpeg4_mp3.avi"), &Forced), -1);
  EXPECT_EQ(Converter->LastError(), "Unknown input format: nosuchformat");
  EXPECT_EQ(Converter->AddTask((Dir / "missing.avi").string()), -1);
  EXPECT_NE(Converter->LastError().find("missing.avi"), std::string::npos)
      << Converter->LastError();
  EXPECT_EQ(Converter->TaskCount(), 0);
  // A success does not clear the last error.
  EXPECT_EQ(Converter->AddTask(test::TestMedia("mpeg4_mp3.avi")), 0);
  EXPECT_NE(Converter->LastError(), "");
}

TEST_F(TConverterTest, ThreeCharacterAudioTagFailsTheOutputAndKeepsTheTask) {
  ASSERT_EQ(Converter->AddTask(test::TestMedia("mpeg4_mp3.avi")), 0);
  TOutputOptions Options;
  Options.AudioTag = "mp3";
  EXPECT_FALSE(Converter->SetTaskOutput(0, OutputPath(0), &Options));
  EXPECT_EQ(Converter->LastError(), "audio tag parameter must be 4 chars");
  EXPECT_EQ(Converter->TaskCount(), 1);
  EXPECT_EQ(Converter->Tasks(0).OutputOptions().FileName, OutputPath(0));
}

TEST(TVexoConverterWithoutLibrariesTest, LoadLibrariesFailureKeepsTheBindingMessage) {
  TVexoConverter Converter;
  EXPECT_FALSE(Converter.LoadLibraries("/no/such/folder", true));
  EXPECT_FALSE(Converter.LastError().empty());
  EXPECT_EQ(Converter.LastError(), MediaLibrariesError());
}

} // namespace
} // namespace pelorix
