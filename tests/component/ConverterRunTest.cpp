// Runs of the converter with real conversions of the generated clips on real threads: order
// and number of end events, concurrency, runs on the calling thread, stops, and tasks or the
// converter itself going away while threads still report.
#include "ConverterTestSupport.h"
#include "OutputClaim.h"

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

void ExpectEnd(const TEndEvent& AEnd, TTaskOutcome AOutcome) {
  EXPECT_EQ(AEnd.Result.Outcome, AOutcome) << "task " << AEnd.Index << ": " << AEnd.Result.Reason;
  EXPECT_EQ(AEnd.Result.Reason, "") << "task " << AEnd.Index;
}

// Every task's end converted, and the run's final end (which carries no outcome) last.
void ExpectAllConverted(const std::vector<TEndEvent>& AEnds) {
  ASSERT_FALSE(AEnds.empty());
  for (size_t I = 0; I + 1 < AEnds.size(); ++I) ExpectEnd(AEnds[I], TTaskOutcome::toConverted);
  EXPECT_EQ(AEnds.back().Index, -1);
  ExpectEnd(AEnds.back(), TTaskOutcome::toNone);
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
  ExpectAllConverted(Recorder.EndEvents());
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
  ExpectAllConverted(Recorder.EndEvents());
  for (int I = 0; I < 3; ++I) ExpectValidOutput(I);
}

TEST_F(TConverterTest, StartZeroRunsEachTaskOnThePumpingThread) {
  TRunRecorder Recorder(*Converter);
  std::atomic<int> ForeignProgress{0};
  const auto Self = std::this_thread::get_id();
  Converter->SetOnProgress([&](int, int, int, int, float, float, int64_t, int) {
    if (std::this_thread::get_id() != Self) ++ForeignProgress;
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
  ExpectAllConverted(Recorder.EndEvents());
  for (const auto& End : Recorder.EndEvents()) EXPECT_EQ(End.Thread, Self);
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
  ASSERT_FALSE(std::filesystem::exists(OutputPath(2))); // checked, reserved, not yet made

  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  // The stopped run and the two never-started tasks end in any order, the run last.
  auto Ends = Recorder.EndEvents();
  ASSERT_EQ(Ends.size(), 4u);
  EXPECT_EQ(Ends[3].Index, -1);
  ExpectEnd(Ends[3], TTaskOutcome::toNone);
  Ends.pop_back();
  std::sort(Ends.begin(), Ends.end(),
            [](const TEndEvent& A, const TEndEvent& B) { return A.Index < B.Index; });
  // The first stopped with a complete, shorter file; the others never started.
  for (int I = 0; I < 3; ++I) {
    EXPECT_EQ(Ends[I].Index, I);
    ExpectEnd(Ends[I], I == 0 ? TTaskOutcome::toStopped : TTaskOutcome::toNotStarted);
    const TTaskView View = Converter->Tasks(I);
    EXPECT_EQ(View.State, TTaskState::tsEnded);
    EXPECT_EQ(View.Result, Ends[I].Result);
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

// A stop that comes before the first packet is written (here while the streams are set up)
// leaves a file with a header and nothing else: the task did not start converting, and no
// file is left that would pass for a shorter copy of the source.
TEST_F(TConverterTest, StopBeforeTheFirstPacketLeavesNoOutput) {
  TRunRecorder Recorder(*Converter);
  Converter->SetOnLog([&](int, TLogLevel, const std::string& AText) {
    if (AText.find("Stream mapping") != std::string::npos) Converter->Stop();
  });
  AddConfigured("h264_aac.mp4");

  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  const auto Ends = Recorder.EndEvents();
  ASSERT_EQ(Ends.size(), 2u);
  ExpectEnd(Ends[0], TTaskOutcome::toNotStarted);
  EXPECT_EQ(Converter->Tasks(0).Result, Ends[0].Result);
  EXPECT_FALSE(std::filesystem::exists(OutputPath(0)));
  for (const auto& Entry : std::filesystem::directory_iterator(Dir))
    ADD_FAILURE() << "left behind: " << Entry.path();
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

// The run's accounting while the list changes under it: every claimed task's end counts and
// claims the next, whether it still has its place in the list or not. Task 0's first event
// removes task 0 itself (running: it ends unseen) or task 2 (waiting: it leaves the run); the
// other two run to their end as tasks 0 and 1, and the run ends once.
TEST_F(TConverterTest, RemovingATaskDuringARunLetsTheOthersRunAndTheRunEnd) {
  for (const int Removed : {0, 2}) {
    SCOPED_TRACE(Removed);
    std::atomic<bool> Done{false};
    TRunRecorder Recorder(*Converter);
    Converter->SetOnProgress([&](int AIndex, int, int, int, float, float, int64_t, int) {
      if (AIndex == 0 && !Done.exchange(true)) Converter->RemoveTask(Removed);
    });
    for (const auto& Clip : ThreeClips) AddConfigured(Clip);

    Converter->Start(1);
    ASSERT_TRUE(Recorder.WaitForFinal());
    EXPECT_EQ(Recorder.EndIndexes(), (std::vector<int>{0, 1, -1}));
    ExpectAllConverted(Recorder.EndEvents());
    EXPECT_EQ(Converter->TaskCount(), 2);
    for (int I = 0; I < 3; ++I) {
      if (I != Removed) ExpectValidOutput(I);
    }
    // A waiting task's output name is free again.
    if (Removed == 2) {
      EXPECT_FALSE(std::filesystem::exists(OutputPath(2)));
    }

    Converter->SetOnProgress(nullptr);
    Converter->SetOnTerminate(nullptr);
    Converter->SetOnLog(nullptr);
    Converter->ClearTasks();
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
  }
}

TEST_F(TConverterTest, RemovingTheLastTaskEndsTheRunOnceAndTheNextStartRuns) {
  std::atomic<bool> Removed{false};
  TRunRecorder Recorder(*Converter);
  Converter->SetOnProgress([&](int, int, int, int, float, float, int64_t, int) {
    if (!Removed.exchange(true)) Converter->RemoveTask(0);
  });
  AddConfigured("h264_aac.mp4");
  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  EXPECT_EQ(Recorder.EndIndexes(), (std::vector<int>{-1}));
  EXPECT_EQ(Converter->TaskCount(), 0);

  Converter->SetOnProgress(nullptr);
  TRunRecorder Next(*Converter);
  EXPECT_EQ(AddConfigured("mpeg4_mp3.avi"), 0);
  Converter->Start(1);
  ASSERT_TRUE(Next.WaitForFinal());
  EXPECT_EQ(Next.EndIndexes(), (std::vector<int>{0, -1}));
  ExpectAllConverted(Next.EndEvents());
}

// A task added while a run goes on joins it once its output is set, and the run's end waits
// for it; with a thread free it starts at once.
TEST_F(TConverterTest, ATaskAddedDuringARunJoinsIt) {
  for (const int Threads : {1, 2}) {
    SCOPED_TRACE(Threads);
    TSignal Release, Held;
    Converter->SetOnCustomHook([&](int AIndex, THookBitmap&, int, int64_t, bool&, bool&) {
      if (AIndex != 0) return;
      Held.Raise();
      Release.Wait();
    });
    TRunRecorder Recorder(*Converter);
    TOutputOptions Hooked;
    Hooked.CustomHook = true;
    AddConfigured("mpeg4_mp3.avi", &Hooked);
    Converter->Start(Threads);
    ASSERT_TRUE(Held.Wait());

    ASSERT_EQ(Converter->AddTask(test::TestMedia("h264_aac.mp4")), 1) << Converter->LastError();
    TOutputOptions Plain;
    ASSERT_TRUE(Converter->SetTaskOutput(1, OutputPath(1), &Plain)) << Converter->LastError();
    // A second thread runs the new task while the first is held; one thread runs it next.
    if (Threads == 2) {
      EXPECT_TRUE(Recorder.WaitForEnds(1, 1));
    }
    Release.Raise();
    ASSERT_TRUE(Recorder.WaitForFinal());
    EXPECT_EQ(Recorder.EndIndexes(),
              (Threads == 2 ? std::vector<int>{1, 0, -1} : std::vector<int>{0, 1, -1}));
    ExpectAllConverted(Recorder.EndEvents());
    ExpectValidOutput(0);
    ExpectValidOutput(1);

    // The run is over: the next one is not refused.
    Converter->SetOnCustomHook(nullptr);
    TRunRecorder Next(*Converter);
    Converter->Start(1);
    EXPECT_TRUE(Next.WaitForFinal());
    EXPECT_NE(Converter->LastError(), "A run is already in progress");
    Converter->SetOnTerminate(nullptr);
    Converter->SetOnLog(nullptr);
    Converter->ClearTasks();
    std::filesystem::remove(OutputPath(0));
    std::filesystem::remove(OutputPath(1));
  }
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
  EXPECT_EQ(Ends[1].Result,
            (TTaskResult{TTaskOutcome::toFailed, "Must supply at least one output file"}));
  EXPECT_EQ(Converter->Tasks(1).LastError, "Must supply at least one output file");
  ExpectEnd(Ends[2], TTaskOutcome::toConverted);
  ExpectEnd(Ends[3], TTaskOutcome::toNone);
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
  Converter->SetOnTerminate([&](int, const TTaskResult&) { ++Events; });
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
    EXPECT_EQ(Converter->Tasks(I).Index, I);
    EXPECT_EQ(Converter->Tasks(I).SourcePath, test::TestMedia(ThreeClips[I + 1]));
  }
  EXPECT_THROW(Converter->RemoveTask(2), TTaskIndexError);
  EXPECT_THROW(Converter->Tasks(-1), TTaskIndexError);
}

// The task view: what the add found, the output once set, the state through the run.
TEST_F(TConverterTest, TheTaskViewShowsSourceOutputAndState) {
  ASSERT_EQ(Converter->AddTask(test::TestMedia("mpeg4_mp3.avi")), 0);
  TTaskView View = Converter->Tasks(0);
  EXPECT_EQ(View.SourcePath, test::TestMedia("mpeg4_mp3.avi"));
  EXPECT_EQ(View.Source.FileName, test::TestMedia("mpeg4_mp3.avi"));
  EXPECT_EQ(View.Source.StreamCount, 2);
  EXPECT_EQ(View.Source.VideoStreamCount, 1);
  EXPECT_EQ(View.Source.Video.Width, 176);
  EXPECT_EQ(View.Source.Audio.Channels, 2);
  EXPECT_EQ(std::string(View.Source.Audio.CodecName.data()), "mp3");
  EXPECT_EQ(View.State, TTaskState::tsListed);
  EXPECT_EQ(View.OutputPath, "");
  EXPECT_FALSE(View.Result.Ended());

  TOutputOptions Defaults;
  ASSERT_TRUE(Converter->SetTaskOutput(0, OutputPath(0), &Defaults)) << Converter->LastError();
  EXPECT_EQ(Converter->Tasks(0).State, TTaskState::tsConfigured);
  EXPECT_EQ(Converter->Tasks(0).OutputPath, OutputPath(0));

  TRunRecorder Recorder(*Converter);
  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  View = Converter->Tasks(0);
  EXPECT_EQ(View.State, TTaskState::tsEnded);
  EXPECT_EQ(View.Result.Outcome, TTaskOutcome::toConverted);
  EXPECT_EQ(View.Source.StreamCount, 2); // outlives the run
}

// The input is open only while the task runs: its own progress and hook handlers may read
// it, nobody else and at no other time.
TEST_F(TConverterTest, TaskInputContextIsTheRunsOwnWhileItRuns) {
  AddConfigured("mpeg4_mp3.avi");
  EXPECT_EQ(Converter->TaskInputContext(0), nullptr);
  std::atomic<int> Seen{0}, Wrong{0};
  Converter->SetOnProgress([&](int AIndex, int, int, int, float, float, int64_t, int) {
    const AVFormatContext* Input = Converter->TaskInputContext(AIndex);
    if (Input && Input->url && std::string(Input->url) == test::TestMedia("mpeg4_mp3.avi"))
      ++Seen;
    else
      ++Wrong;
  });
  TRunRecorder Recorder(*Converter);
  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  EXPECT_GT(Seen, 0);
  EXPECT_EQ(Wrong, 0);
  EXPECT_EQ(Converter->TaskInputContext(0), nullptr);
}

// A listed task holds no open file, so a batch of any size stays within the open-file limit.
TEST_F(TConverterTest, ListedTasksHoldNoOpenFile) {
  const auto OpenFiles = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator{});
  };
  AddConfigured("mono8k.wav", nullptr, "wav"); // with every library part in use once
  const auto Before = OpenFiles();
  for (int I = 1; I <= 20; ++I) AddConfigured("mono8k.wav", nullptr, "wav");
  EXPECT_EQ(OpenFiles(), Before);
  // No file is made before the run, not even a temporary one: each output's name is reserved
  // within the process until its task runs or leaves the list.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir),
                          std::filesystem::directory_iterator{}),
            0);
  EXPECT_TRUE(OutputNameReserved(OutputPath(20, "wav")));
  Converter->RemoveTask(20);
  EXPECT_FALSE(OutputNameReserved(OutputPath(20, "wav")));
  EXPECT_TRUE(OutputNameReserved(OutputPath(19, "wav")));
}

// The task's files open again when it starts; one gone by then fails the task, with why.
TEST_F(TConverterTest, ASourceGoneBeforeItsRunFailsTheTaskWithTheReason) {
  const std::string Source = (Dir / "gone.avi").string();
  std::filesystem::copy_file(test::TestMedia("mpeg4_mp3.avi"), Source);
  ASSERT_EQ(Converter->AddTask(Source), 0);
  TOutputOptions Defaults;
  ASSERT_TRUE(Converter->SetTaskOutput(0, OutputPath(0), &Defaults)) << Converter->LastError();
  AddConfigured("h264_aac.mp4");
  std::filesystem::remove(Source);

  TRunRecorder Recorder(*Converter);
  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  const auto Ends = Recorder.EndEvents();
  ASSERT_EQ(Recorder.EndIndexes(), (std::vector<int>{0, 1, -1}));
  EXPECT_EQ(Ends[0].Result.Outcome, TTaskOutcome::toFailed);
  EXPECT_NE(Ends[0].Result.Reason.find(Source), std::string::npos) << Ends[0].Result.Reason;
  ExpectEnd(Ends[1], TTaskOutcome::toConverted);
  EXPECT_FALSE(std::filesystem::exists(OutputPath(0))); // nothing written, nothing left
  bool Logged = false;
  for (const auto& Line : Recorder.LogEvents())
    Logged = Logged || (Line.Index == 0 && Line.Level == TLogLevel::llQuiet &&
                        Line.Text == Ends[0].Result.Reason);
  EXPECT_TRUE(Logged);
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
  const TTaskView View = Converter->Tasks(0);
  EXPECT_EQ(View.State, TTaskState::tsListed); // no output recorded
  EXPECT_EQ(View.OutputPath, "");
  EXPECT_EQ(View.LastError, "audio tag parameter must be 4 chars");
  EXPECT_EQ(Options.FileName, OutputPath(0)); // the caller's record is filled
  EXPECT_FALSE(std::filesystem::exists(OutputPath(0)));
}

TEST(TVexoConverterWithoutLibrariesTest, PropertiesHaveTheirDefaultsAndLimits) {
  TVexoConverter Converter;
  EXPECT_EQ(Converter.Version(), "2.2");
  EXPECT_EQ(Converter.ProgressInterval(), 500);
  EXPECT_EQ(Converter.LogLevel(), TLogLevel::llInfo);
  EXPECT_EQ(Converter.ThreadPriority(), TConvertPriority::tpNormal);
  for (const auto& [Given, Stored] : {std::pair{50, 100}, {100, 100}, {101, 101}, {-7, 100}}) {
    Converter.SetProgressInterval(Given);
    EXPECT_EQ(Converter.ProgressInterval(), Stored) << Given;
  }
}

#ifndef NDEBUG
// The owner's operations belong to the thread that first called one; debug builds end the
// process when another thread calls them outside the converter's events.
TEST(TVexoConverterWithoutLibrariesTest, AnOwnersOperationFromAnotherThreadEndsTheProcess) {
  TVexoConverter Converter;
  Converter.SetTimerService(nullptr); // binds the owner's thread
  EXPECT_DEATH(std::thread([&] { Converter.Start(1); }).join(),
               "Start called from a thread it does not belong to");
  EXPECT_DEATH(std::thread([&] { Converter.AddTask("clip.avi"); }).join(),
               "AddTask called from a thread it does not belong to");
}
#endif

TEST(TVexoConverterWithoutLibrariesTest, LoadLibrariesFailureKeepsTheBindingMessage) {
  TVexoConverter Converter;
  EXPECT_FALSE(Converter.LoadLibraries("/no/such/folder", true));
  EXPECT_FALSE(Converter.LastError().empty());
  EXPECT_EQ(Converter.LastError(), MediaLibrariesError());
}

} // namespace
} // namespace pelorix
