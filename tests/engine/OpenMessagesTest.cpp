// Every failed open says why: the system's or the library's reason comes with the fixed text,
// for inputs and outputs, whatever the cause (a folder, no permission, no file handles left).
#include "MediaTestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace pelorix {
namespace {

namespace fs = std::filesystem;
using test::TestMedia;

class TOpenMessagesTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    fs::create_directories(Dir);
    Engine.Reset();
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string Path(const std::string& AName) const { return (Dir / AName).string(); }

  // Runs AOpen in a child process prepared by APrepare (a limit lowered, another user); the
  // text it returns, or what went wrong.
  static std::string InChild(const std::function<bool()>& APrepare,
                             const std::function<std::string()>& AOpen) {
    int Pipe[2];
    if (::pipe(Pipe) != 0) return "no pipe";
    const pid_t Child = ::fork();
    if (Child == 0) {
      ::close(Pipe[0]);
      std::string Text = APrepare() ? AOpen() : "could not prepare the child";
      const ssize_t Written = ::write(Pipe[1], Text.data(), Text.size());
      ::_exit(Written == static_cast<ssize_t>(Text.size()) ? 0 : 1);
    }
    ::close(Pipe[1]);
    std::string Text;
    char Buffer[512];
    for (ssize_t Read; (Read = ::read(Pipe[0], Buffer, sizeof Buffer)) > 0;)
      Text.append(Buffer, static_cast<size_t>(Read));
    ::close(Pipe[0]);
    int Status = 0;
    ::waitpid(Child, &Status, 0);
    return Text;
  }

  fs::path Dir = fs::temp_directory_path() / ("pelorix-messages-" + std::to_string(::getpid()));
  TCustomFFmpeg Engine;
  test::TEngineRecorder Recorder{Engine};
};

TEST_F(TOpenMessagesTest, OutputsThatCannotBeOpenedSayWhy) {
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("tone.wav")));
  const std::string Missing = Path("no-such-folder/out.mp3");
  EXPECT_FALSE(Engine.OpenOutputFile(Missing));
  EXPECT_EQ(Engine.LastErrorText(), "Could not open '" + Missing + "': No such file or directory");

  // An output named like a folder.
  fs::create_directories(Dir / "folder.mp3");
  EXPECT_FALSE(Engine.OpenOutputFile(Path("folder.mp3")));
  EXPECT_EQ(Engine.LastErrorText(), "Could not open '" + Path("folder.mp3") + "': Is a directory");

  // A file below a file.
  { std::ofstream(Dir / "file") << "x"; }
  EXPECT_FALSE(Engine.OpenOutputFile(Path("file/out.mp3")));
  EXPECT_EQ(Engine.LastErrorText(),
            "Could not open '" + Path("file/out.mp3") + "': Not a directory");
}

TEST_F(TOpenMessagesTest, AFolderWithoutWritePermissionSaysSo) {
  // Root may write anywhere: the child becomes "nobody" first.
  fs::create_directories(Dir / "locked");
  fs::permissions(Dir, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(Dir / "locked", fs::perms::owner_read | fs::perms::owner_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
  const std::string Target = Path("locked/out.wav");
  // The source sits in the test's own folder: the build's may be closed to the other user.
  const std::string Source = Path("tone.wav");
  fs::copy_file(TestMedia("tone.wav"), Source, fs::copy_options::overwrite_existing);
  const std::string Text = InChild(
      [] {
        if (::geteuid() != 0) return true;
        const passwd* Nobody = ::getpwnam("nobody");
        return Nobody && ::setgroups(0, nullptr) == 0 && ::setgid(Nobody->pw_gid) == 0 &&
               ::setuid(Nobody->pw_uid) == 0;
      },
      [&] {
        TCustomFFmpeg Child;
        Child.Reset();
        if (!Child.OpenInputFile(Source)) return "input: " + Child.LastErrorText();
        Child.OpenOutputFile(Target);
        return Child.LastErrorText();
      });
  EXPECT_EQ(Text, "Could not open '" + Target + "': Permission denied");
  fs::permissions(Dir / "locked", fs::perms::owner_all);
}

TEST_F(TOpenMessagesTest, NoFileHandlesLeftSaysSo) {
  const std::string Input = TestMedia("tone.wav");
  const std::string Output = Path("out.wav");
  // The child may open no file beyond those it holds.
  const auto NoMoreFiles = [] {
    const int Next = ::open("/dev/null", O_RDONLY);
    if (Next < 0) return false;
    ::close(Next);
    const rlimit Limit{static_cast<rlim_t>(Next), static_cast<rlim_t>(Next)};
    return ::setrlimit(RLIMIT_NOFILE, &Limit) == 0;
  };
  EXPECT_EQ(InChild(NoMoreFiles,
                    [&] {
                      TCustomFFmpeg Child;
                      Child.Reset();
                      Child.OpenInputFile(Input);
                      return Child.LastErrorText();
                    }),
            Input + ": Error while opening file: Too many open files");

  ASSERT_TRUE(Engine.OpenInputFile(Input));
  // The input is open in the engine already; only the output is left to fail.
  EXPECT_EQ(InChild(NoMoreFiles,
                    [&] {
                      Engine.OpenOutputFile(Output);
                      return Engine.LastErrorText();
                    }),
            "Could not open '" + Output + "': Too many open files");
}

TEST_F(TOpenMessagesTest, InputsThatCannotBeOpenedSayWhy) {
  EXPECT_FALSE(Engine.OpenInputFile(Dir.string()));
  EXPECT_EQ(Engine.LastErrorText(), Dir.string() + ": Error while opening file: Is a directory");
  const std::string Rifx = TestMedia("rifx.wav");
  EXPECT_FALSE(Engine.OpenInputFile(Rifx));
  EXPECT_EQ(Engine.LastErrorText(),
            Rifx + ": Error while opening file: a big-endian WAV (RIFX) of a variant that is not "
                   "supported");
}

TEST_F(TOpenMessagesTest, AMuxerThatRefusesTheCodecNamesIt) {
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("tone.wav")));
  Engine.SetOption("acodec", "pcm_s16be");
  ASSERT_TRUE(Engine.OpenOutputFile(Path("big-endian.wav"))) << Engine.LastErrorText();
  Engine.Start(false, TConvertPriority::tpNormal);
  EXPECT_EQ(Engine.ErrorMessage(), "Could not write header for output file #0 (incorrect codec "
                                   "parameters ?): pcm_s16be in wav is not supported");
}

} // namespace
} // namespace pelorix
