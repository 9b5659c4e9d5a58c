// The engine driver as a shell user meets it: exit statuses, the engine's message as the last
// thing printed, Ctrl-C finishing the file, and what the driver does to files: existing ones
// only with -y, its input never, a failed run's outputs deleted.
#include "MediaFacts.h"
#include "MediaTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

extern char** environ;

namespace pelorix {
namespace {

struct TDriverRun {
  int Status = -1;
  std::string Errors; // everything written on stderr
};

// Starts the driver with AArguments; with AInterruptWhen, sends SIGINT once that holds (it is
// asked with what the driver printed so far, at least every 10 ms).
TDriverRun RunDriver(std::vector<std::string> AArguments,
                     const std::function<bool(const std::string&)>& AInterruptWhen = {}) {
  AArguments.insert(AArguments.begin(), PELORIX_TRANSCODE_PROGRAM);
  std::vector<char*> Argv;
  for (std::string& Argument : AArguments) Argv.push_back(Argument.data());
  Argv.push_back(nullptr);
  int Pipe[2];
  EXPECT_EQ(::pipe(Pipe), 0);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&Actions, Pipe[0]);
  pid_t Child = 0;
  EXPECT_EQ(posix_spawn(&Child, Argv[0], &Actions, nullptr, Argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&Actions);
  ::close(Pipe[1]);
  TDriverRun Run;
  bool Interrupted = !AInterruptWhen;
  char Buffer[4096];
  for (;;) {
    pollfd Ready{Pipe[0], POLLIN, 0};
    if (::poll(&Ready, 1, Interrupted ? -1 : 10) > 0) {
      const ssize_t Read = ::read(Pipe[0], Buffer, sizeof Buffer);
      if (Read <= 0) break;
      Run.Errors.append(Buffer, static_cast<size_t>(Read));
    }
    if (!Interrupted && AInterruptWhen(Run.Errors)) {
      ::kill(Child, SIGINT);
      Interrupted = true;
    }
  }
  ::close(Pipe[0]);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  Run.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  return Run;
}

// The driver with files limited to ABytes (writing beyond fails with EFBIG, as on a full
// disk). The limit and the ignored SIGXFSZ are inherited by the child; this process writes no
// file while it waits.
TDriverRun RunDriverWithFileLimit(std::vector<std::string> AArguments, rlim_t ABytes) {
  rlimit Saved{};
  ::getrlimit(RLIMIT_FSIZE, &Saved);
  rlimit Limited = Saved;
  Limited.rlim_cur = ABytes;
  const auto OldHandler = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &Limited);
  TDriverRun Run = RunDriver(std::move(AArguments));
  ::setrlimit(RLIMIT_FSIZE, &Saved);
  ::signal(SIGXFSZ, OldHandler);
  return Run;
}

std::string ReadBytes(const std::filesystem::path& APath) {
  std::ifstream File(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>()};
}

bool IsCharacterDevice(const char* APath) {
  struct stat Info {};
  return ::stat(APath, &Info) == 0 && S_ISCHR(Info.st_mode);
}

// The last ALines lines of a text.
std::string LastLines(const std::string& AText, int ALines) {
  size_t Pos = AText.size();
  if (Pos > 0 && AText[Pos - 1] == '\n') --Pos;
  for (int I = 0; I < ALines && Pos != std::string::npos; ++I)
    Pos = Pos == 0 ? std::string::npos : AText.rfind('\n', Pos - 1);
  return AText.substr(Pos == std::string::npos ? 0 : Pos + 1);
}

class TTranscodeDriverTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }
  std::string Out(const std::string& AName) { return (Dir / AName).string(); }

  std::filesystem::path Dir =
      std::filesystem::temp_directory_path() / ("pelorix-driver-" + std::to_string(::getpid()));
};

TEST_F(TTranscodeDriverTest, UsageErrorsExitWithTwo) {
  EXPECT_EQ(RunDriver({}).Status, 2);
  EXPECT_EQ(RunDriver({"-x"}).Status, 2);
  EXPECT_EQ(RunDriver({"-i"}).Status, 2);
}

TEST_F(TTranscodeDriverTest, FailuresPrintTheEngineMessageLast) {
  const TDriverRun Missing = RunDriver({"-i", "/nonexistent/clip.avi", "-o", Out("x.mkv")});
  EXPECT_EQ(Missing.Status, 1);
  EXPECT_EQ(LastLines(Missing.Errors, 1),
            "pelorix-transcode: /nonexistent/clip.avi: no such file or directory\n");

  const TDriverRun BadNumber = RunDriver({"vframes=abc"});
  EXPECT_EQ(BadNumber.Status, 1);
  EXPECT_EQ(LastLines(BadNumber.Errors, 1),
            "pelorix-transcode: 'abc' is not a valid integer value\n");

  const TDriverRun BadRun =
      RunDriver({"-q", "vcodec=copy", "acodec=copy", "-i", test::TestMedia("h264_aac.mp4"),
                 "map=0.0", "-o", Out("maps.mkv")});
  EXPECT_EQ(BadRun.Status, 1);
  EXPECT_EQ(LastLines(BadRun.Errors, 1),
            "pelorix-transcode: Number of stream maps must match number of output streams\n");

  // A message of several lines keeps them, with plain line breaks.
  const TDriverRun Pattern =
      RunDriver({"-i", test::TestMedia("h264_aac.mp4"), "f=image2", "-o", Out("picture.jpg")});
  EXPECT_EQ(Pattern.Status, 1);
  EXPECT_EQ(LastLines(Pattern.Errors, 4),
            "pelorix-transcode: " + Out("picture.jpg") +
                ": Incorrect image filename syntax.\nUse '%d' to specify the image number:\n"
                "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\n"
                "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'.\n");
}

TEST_F(TTranscodeDriverTest, CopyFinishesWithZero) {
  const TDriverRun Copy = RunDriver({"-q", "vcodec=copy", "acodec=copy", "-i",
                                     test::TestMedia("mpeg4_aac.3gp"), "-o", Out("copy.mp4")});
  EXPECT_EQ(Copy.Status, 0) << Copy.Errors;
  EXPECT_NEAR(test::ReadMediaFacts(Out("copy.mp4")).Duration(), 2.0, 0.1);
}

TEST_F(TTranscodeDriverTest, ThreadsConvertWithEveryProcessor) {
  const TDriverRun Threaded =
      RunDriver({"-q", "-threads", "0", "-i", test::TestMedia("h264_aac.mp4"), "vcodec=libxvid",
                 "acodec=libmp3lame", "-o", Out("threads.avi")});
  EXPECT_EQ(Threaded.Status, 0) << Threaded.Errors;
  EXPECT_NEAR(test::ReadMediaFacts(Out("threads.avi")).Duration(), 2.0, 0.1);

  const TDriverRun BadCount = RunDriver({"-threads", "many"});
  EXPECT_EQ(BadCount.Status, 1);
  EXPECT_EQ(LastLines(BadCount.Errors, 1),
            "pelorix-transcode: 'many' is not a valid integer value\n");
  EXPECT_EQ(RunDriver({"-threads"}).Status, 2);
}

TEST_F(TTranscodeDriverTest, InterruptFinishesTheFileAndExitsWithThree) {
  // Read at the input's own pace, the run takes 2 s; the packet dump shows how far it is. Once
  // half a second is through, Ctrl-C.
  const TDriverRun Stopped = RunDriver(
      {"-q", "v=2", "dump=", "vcodec=copy", "acodec=copy", "re=", "-i",
       test::TestMedia("mpeg4_mp3.avi"), "-o", Out("stopped.avi")},
      [](const std::string& APrinted) { return APrinted.find("  dts=0.5") != std::string::npos; });
  EXPECT_EQ(Stopped.Status, 3) << Stopped.Errors;
  const test::TMediaFacts Facts = test::ReadMediaFacts(Out("stopped.avi"));
  ASSERT_TRUE(Facts.Opened);
  EXPECT_LT(Facts.Duration(), 1.8);
}

TEST_F(TTranscodeDriverTest, TheReadmeExampleConverts) {
  const TDriverRun Example =
      RunDriver({"-q", "-i", test::TestMedia("h264_aac.mp4"), "vcodec=libxvid", "b=1500000",
                 "acodec=libmp3lame", "-o", Out("clip.avi")});
  EXPECT_EQ(Example.Status, 0) << Example.Errors;
  const test::TMediaFacts Facts = test::ReadMediaFacts(Out("clip.avi"));
  ASSERT_EQ(Facts.Streams.size(), 2u);
  EXPECT_NEAR(Facts.Duration(), 2.0, 0.1);
}

TEST_F(TTranscodeDriverTest, NeverWritesOverItsInput) {
  std::filesystem::copy_file(test::TestMedia("mpeg4_mp3.avi"), Out("clip.avi"));
  const std::string Before = ReadBytes(Out("clip.avi"));
  // Not even with -y, and not when the run would have failed anyway.
  const TDriverRun Same = RunDriver({"-q", "-y", "-i", Out("clip.avi"), "vcodec=libxvid",
                                     "b=1500000", "acodec=libmp3lame", "-o", Out("clip.avi")});
  EXPECT_EQ(Same.Status, 1);
  EXPECT_EQ(LastLines(Same.Errors, 1), "pelorix-transcode: Output file '" + Out("clip.avi") +
                                           "' is the input file '" + Out("clip.avi") +
                                           "': choose another output file\n");
  EXPECT_EQ(ReadBytes(Out("clip.avi")), Before);
}

TEST_F(TTranscodeDriverTest, ReplacesAnExistingFileOnlyAfterY) {
  const std::string Target = Out("out.mp3");
  std::ofstream(Target) << "keep me";
  const std::vector<std::string> Refused[] = {
      {"-q", "-i", test::TestMedia("tone.wav"), "-o", Target},
      {"-q", "-i", test::TestMedia("tone.wav"), "-o", Target, "-y"}}; // -y after -o is late
  for (const auto& Arguments : Refused) {
    const TDriverRun Run = RunDriver(Arguments);
    EXPECT_EQ(Run.Status, 1);
    EXPECT_EQ(LastLines(Run.Errors, 1),
              "pelorix-transcode: '" + Target + "' exists; give -y before -o to replace it\n");
    EXPECT_EQ(ReadBytes(Target), "keep me");
  }
  const TDriverRun Replaced =
      RunDriver({"-q", "-y", "-i", test::TestMedia("tone.wav"), "-o", Target});
  EXPECT_EQ(Replaced.Status, 0) << Replaced.Errors;
  EXPECT_NEAR(test::ReadMediaFacts(Target).Duration(), 2.0, 0.1);
  // A device is no file to keep: it is written to without -y.
  EXPECT_EQ(RunDriver({"-q", "-i", test::TestMedia("tone.wav"), "f=mp3", "-o", "/dev/null"}).Status,
            0);
  EXPECT_TRUE(IsCharacterDevice("/dev/null"));
}

TEST_F(TTranscodeDriverTest, AFullDiskFailsAndLeavesNoPartialFile) {
  const TDriverRun Limited =
      RunDriverWithFileLimit({"-q", "-i", test::TestMedia("mpeg4_mp3.avi"), "vcodec=libxvid",
                              "b=1500000", "acodec=libmp3lame", "-o", Out("big.avi")},
                             16384);
  EXPECT_EQ(Limited.Status, 1);
  EXPECT_EQ(LastLines(Limited.Errors, 1), "pelorix-transcode: Could not write output file '" +
                                              Out("big.avi") + "': File too large\n");
  EXPECT_FALSE(std::filesystem::exists(Out("big.avi")));

  const TDriverRun Full =
      RunDriver({"-q", "-i", test::TestMedia("tone.wav"), "f=mp3", "-o", "/dev/full"});
  EXPECT_EQ(Full.Status, 1);
  EXPECT_EQ(LastLines(Full.Errors, 1),
            "pelorix-transcode: Could not write output file '/dev/full': No space left on "
            "device\n");
  EXPECT_TRUE(IsCharacterDevice("/dev/full"));
}

TEST_F(TTranscodeDriverTest, AnInputWithoutMediaDataFailsAndLeavesNoFile) {
  const TDriverRun Empty =
      RunDriver({"-q", "-i", test::TestMedia("header_only.m4a"), "-o", Out("out.mp3")});
  EXPECT_EQ(Empty.Status, 1);
  EXPECT_EQ(LastLines(Empty.Errors, 1),
            "pelorix-transcode: The input holds no media data: nothing was converted\n");
  EXPECT_FALSE(std::filesystem::exists(Out("out.mp3")));
  // The clean-up of a failed run leaves a device alone.
  EXPECT_EQ(RunDriver({"-q", "-i", test::TestMedia("header_only.m4a"), "f=mp3", "-o", "/dev/null"})
                .Status,
            1);
  EXPECT_TRUE(IsCharacterDevice("/dev/null"));
}

// The output named before its input is the same refusal, for every way of naming the file,
// and the source stays as it was.
TEST_F(TTranscodeDriverTest, AnOutputNamedBeforeItsInputIsRefusedInEverySpelling) {
  std::filesystem::copy_file(test::TestMedia("mpeg4_mp3.avi"), Out("x.avi"));
  const std::string Before = ReadBytes(Out("x.avi"));
  std::filesystem::create_hard_link(Out("x.avi"), Out("hard.avi"));
  std::filesystem::create_symlink(Out("x.avi"), Out("soft.avi"));
  const std::string Folder = Dir.string();
  const std::pair<std::string, std::string> Pairs[] = {
      {Out("x.avi"), Out("x.avi")},           {Folder + "/./x.avi", Out("x.avi")},
      {Folder + "//x.avi", Out("x.avi")},     {"file:" + Out("x.avi"), Out("x.avi")},
      {Out("soft.avi"), Out("x.avi")},        {Out("x.avi"), Out("hard.avi")},
      {Out("new.avi"), Folder + "/./new.avi"}};
  for (const auto& [Output, Input] : Pairs) {
    const TDriverRun Run = RunDriver({"-q", "-y", "-o", Output, "-i", Input});
    EXPECT_EQ(Run.Status, 1) << Output;
    EXPECT_EQ(LastLines(Run.Errors, 1), "pelorix-transcode: Output file '" + Output +
                                            "' is the input file '" + Input +
                                            "': choose another output file\n");
    EXPECT_EQ(ReadBytes(Out("x.avi")), Before);
  }
  EXPECT_FALSE(std::filesystem::exists(Out("new.avi")));
}

// With -y the old file stays whole until the run has finished: a failed run leaves it as it
// was, and a second program that took the free name meanwhile keeps its file.
TEST_F(TTranscodeDriverTest, AFailedRunAfterYLeavesTheOldFileWhole) {
  const std::string Target = Out("out.mp3");
  std::ofstream(Target) << "keep me";
  const TDriverRun Failed =
      RunDriver({"-q", "-y", "-i", test::TestMedia("tone.wav"), "ar=1234", "-o", Target});
  EXPECT_EQ(Failed.Status, 1);
  EXPECT_EQ(ReadBytes(Target), "keep me");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir),
                          std::filesystem::directory_iterator{}),
            1);
}

} // namespace
} // namespace pelorix
