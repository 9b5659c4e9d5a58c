// The batch command line's tests run the program as a user does: TProgramRun starts it with its
// standard output on a pipe and reads its lines; TConvertCommandTest gives each test a scratch
// folder of its own.
#pragma once

#include "MediaTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pelorix::test {

namespace fs = std::filesystem;

struct TProgramSetup {
  std::vector<std::pair<std::string, std::string>> Environment;
  rlim_t OpenFileLimit = 0; // > 0: the child's limit of open files
  std::string Input; // a file for standard input; empty: /dev/null
  std::string Directory; // the child's working folder; empty: the test's
  bool OwnGroup = false; // the child leads a process group of its own
};

// One run of a program (pelorix-convert unless another is named) with its standard output on a
// pipe; standard error goes to /dev/null.
class TProgramRun {
public:
  TProgramRun(const std::vector<std::string>& AArguments,
              const std::vector<std::pair<std::string, std::string>>& AEnvironment = {},
              rlim_t AOpenFileLimit = 0)
      : TProgramRun(PELORIX_CONVERT_PROGRAM, AArguments,
                    TProgramSetup{AEnvironment, AOpenFileLimit, "", "", false}) {}

  TProgramRun(const std::string& AProgram, const std::vector<std::string>& AArguments,
              const TProgramSetup& ASetup) {
    int Pipe[2];
    if (::pipe(Pipe) != 0) throw std::runtime_error("pipe");
    Child = ::fork();
    if (Child == 0) {
      if (ASetup.OwnGroup) ::setpgid(0, 0);
      ::dup2(Pipe[1], STDOUT_FILENO);
      const int Null = ::open("/dev/null", O_WRONLY);
      ::dup2(Null, STDERR_FILENO);
      const int In = ::open(ASetup.Input.empty() ? "/dev/null" : ASetup.Input.c_str(), O_RDONLY);
      if (In < 0) ::_exit(125);
      ::dup2(In, STDIN_FILENO);
      ::close(Pipe[0]);
      ::close(Pipe[1]);
      if (!ASetup.Directory.empty() && ::chdir(ASetup.Directory.c_str()) != 0) ::_exit(124);
#ifdef PELORIX_TSAN_SUPPRESSIONS
      ::setenv("TSAN_OPTIONS", "suppressions=" PELORIX_TSAN_SUPPRESSIONS, 1);
#endif
      for (const auto& [Name, Value] : ASetup.Environment) ::setenv(Name.c_str(), Value.c_str(), 1);
      if (ASetup.OpenFileLimit > 0) {
        const rlimit Limit{ASetup.OpenFileLimit, ASetup.OpenFileLimit};
        if (::setrlimit(RLIMIT_NOFILE, &Limit) != 0) ::_exit(126);
      }
      std::vector<char*> Argv{const_cast<char*>(AProgram.c_str())};
      for (const std::string& Argument : AArguments)
        Argv.push_back(const_cast<char*>(Argument.c_str()));
      Argv.push_back(nullptr);
      ::execvp(AProgram.c_str(), Argv.data());
      ::_exit(127);
    }
    if (ASetup.OwnGroup) ::setpgid(Child, Child); // either side may come first
    ::close(Pipe[1]);
    Output = ::fdopen(Pipe[0], "r");
  }
  ~TProgramRun() {
    if (Child > 0 && Status < 0) Wait();
    if (Output) std::fclose(Output);
  }
  TProgramRun(const TProgramRun&) = delete;
  TProgramRun& operator=(const TProgramRun&) = delete;

  // The next line of output without its line feed; false at the end of the output.
  bool ReadLine(std::string& ALine) {
    ALine.clear();
    int C;
    while ((C = std::fgetc(Output)) != EOF && C != '\n') ALine += static_cast<char>(C);
    if (C == EOF && ALine.empty()) return false;
    Lines.push_back(ALine);
    return true;
  }
  // Reads up to the first line that starts with APrefix; false when the output ends first.
  bool ReadUntil(const std::string& APrefix) {
    std::string Line;
    while (ReadLine(Line))
      if (Line.rfind(APrefix, 0) == 0) return true;
    return false;
  }
  void Signal(int ASignal) { ::kill(Child, ASignal); }
  // The signal to the child's process group (it must have been started with OwnGroup).
  void SignalGroup(int ASignal) { ::kill(-Child, ASignal); }
  // Reads the rest of the output and returns the exit status (128 + the signal that ended it).
  int Wait() {
    std::string Line;
    while (ReadLine(Line)) {}
    int Raw = 0;
    ::waitpid(Child, &Raw, 0);
    Status = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : 128 + WTERMSIG(Raw);
    return Status;
  }
  std::vector<std::string> Lines;

private:
  pid_t Child = -1;
  FILE* Output = nullptr;
  int Status = -1;
};

class TConvertCommandTest : public ::testing::Test {
protected:
  void SetUp() override {
    RequireMediaLibraries();
    Dir = fs::temp_directory_path() / ("pelorix-convert-" + std::to_string(::getpid()));
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string Out(const std::string& AName = "") const {
    return AName.empty() ? (Dir / "out").string() : (Dir / "out" / AName).string();
  }
  // A copy of a test clip under the scratch folder.
  std::string Copy(const std::string& AClip, const std::string& AName) {
    const fs::path Target = Dir / AName;
    fs::create_directories(Target.parent_path());
    fs::copy_file(TestMedia(AClip), Target, fs::copy_options::overwrite_existing);
    return Target.string();
  }
  fs::path Dir;
};

} // namespace pelorix::test
