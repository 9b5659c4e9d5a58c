// pelorix-fuzz: damaged media against the engine. Every input is a seeded mutation (bytes
// flipped, the file cut short, a range zeroed) of one of the generated test clips, converted
// by the engine to the app's main format (MPEG-4 Part 2 through libxvid at 1500000 bit/s, MP3
// through libmp3lame, AVI) for a few seconds of output, in a process of its own. Every other
// input converts with two codec threads, as the app converts: the picture encoder then runs
// in chunks on threads of its own.
//
//   pelorix-fuzz run MEDIA_DIR FINDINGS_DIR [--minutes M | --count N] [--seed S]
//                [--seconds T] [--jobs J] [--clip NAME]
//   pelorix-fuzz convert INPUT OUTPUT SECONDS [THREADS]
//
// "run" goes through the clips of MEDIA_DIR in turn, input k being a mutation of clip
// k mod (number of clips) made from seed S + k, so the same arguments try the same inputs
// whatever the order the jobs end in. With --clip only that clip is mutated (to replay a
// finding: its seed and --count 1). It stops after M minutes (default 10) or N inputs. An
// input whose conversion does not end with 0 or 1, draws a sanitizer report, or runs longer
// than 30 s is kept in FINDINGS_DIR with the conversion's output beside it (NAME.log), and so
// is one whose conversion finished but whose output fails the check the front ends make
// before they call a file converted (OutputCheck), with the check's reason. Prints the inputs
// tried and the findings; exit status 0 without findings, 1 with some, 2 usage.
//
// "convert" is one conversion, with THREADS codec threads (default 1), and the front ends'
// check of its output: exit 0 finished and complete, 1 failed (the run's message on stderr),
// 3 finished but incomplete (the check's reason on stderr). Input k of "run" converts with
// 1 + (S + k) mod 2.
#include "FFmpeg.h"
#include "MediaLibraries.h"
#include "OutputCheck.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace pelorix;
using TClock = std::chrono::steady_clock;

constexpr int ExitFinished = 0, ExitFailed = 1, ExitUsage = 2, ExitIncomplete = 3;
// Before the reason of an incomplete output in a conversion's log.
constexpr char IncompleteMark[] = "pelorix-fuzz: the output check fails: ";
constexpr auto HangLimit = std::chrono::seconds(30);

// Ctrl-C or SIGTERM: no new input is started; the running ones are judged, then the figures.
volatile std::sig_atomic_t StopAsked = 0;
void OnStop(int) { StopAsked = 1; }

std::string ProgramPath() {
  char Path[4096];
  const ssize_t Length = ::readlink("/proc/self/exe", Path, sizeof(Path) - 1);
  return Length > 0 ? std::string(Path, static_cast<size_t>(Length)) : std::string();
}

int Convert(const std::string& AInput, const std::string& AOutput, const std::string& ASeconds,
            int AThreads) {
  const std::string Program = ProgramPath();
  if (!LoadMediaLibraries(Program.substr(0, Program.rfind('/')) + "/lib", true)) {
    std::fprintf(stderr, "pelorix-fuzz: %s\n", MediaLibrariesError().c_str());
    return ExitUsage; // not a verdict on the input
  }
  TCustomFFmpeg Engine;
  Engine.Reset();
  Engine.SetThreadCount(AThreads);
  // What the front ends would know of the source: its probe when it was added, the limit.
  TOutputSetting Setting;
  try {
    if (!Engine.OpenInputFile(AInput)) {
      std::fprintf(stderr, "pelorix-fuzz: %s\n", Engine.LastErrorText().c_str());
      return ExitFailed;
    }
    TAVProbe Probe;
    Probe.Attach(Engine.InputContext(0));
    Setting.Source = SummaryOf(Probe);
    Probe.Close();
    Setting.LimitSeconds = std::stod(ASeconds);
    for (const auto& [Name, Value] :
         {std::pair{"vcodec", "libxvid"}, std::pair{"b", "1500000"},
          std::pair{"acodec", "libmp3lame"}, std::pair{"t", ASeconds.c_str()}})
      Engine.SetOption(Name, Value);
    if (!Engine.OpenOutputFile(AOutput)) {
      std::fprintf(stderr, "pelorix-fuzz: %s\n", Engine.LastErrorText().c_str());
      return ExitFailed;
    }
  } catch (const std::exception& E) {
    std::fprintf(stderr, "pelorix-fuzz: %s\n", E.what());
    return ExitFailed;
  }
  Engine.Start(false, TConvertPriority::tpNormal);
  if (Engine.ErrorOccurred()) {
    std::fprintf(stderr, "pelorix-fuzz: %s\n", Engine.ErrorMessage().c_str());
    return ExitFailed;
  }
  if (!Engine.Finished()) return ExitFailed;
  std::string Shortfall;
  try {
    Shortfall = RunOutputShortfall(AOutput, Setting, Engine.RunSpans());
  } catch (const std::exception& E) {
    Shortfall = std::string("the output could not be checked: ") + E.what();
  }
  if (Shortfall.empty()) return ExitFinished;
  std::fprintf(stderr, "%s%s\n", IncompleteMark, Shortfall.c_str());
  return ExitIncomplete;
}

// splitmix64: the same mutations from the same seed on every machine.
class TRandom {
public:
  explicit TRandom(uint64_t ASeed) : State(ASeed) {}
  uint64_t Next() {
    uint64_t Z = (State += 0x9E3779B97F4A7C15ull);
    Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ull;
    Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBull;
    return Z ^ (Z >> 31);
  }
  size_t Below(size_t ALimit) { return ALimit == 0 ? 0 : static_cast<size_t>(Next() % ALimit); }

private:
  uint64_t State;
};

// One to three damages of the kinds a copy, a download or a disk does to a file. Most of a
// container's structure sits near its start (and the index of an MP4 near its end), so the
// positions favour the first and last few kilobytes.
std::vector<char> Mutate(std::vector<char> ABytes, uint64_t ASeed) {
  TRandom Random(ASeed);
  const auto Position = [&](size_t ASize) -> size_t {
    if (ASize == 0) return 0;
    switch (Random.Below(3)) {
    case 0:
      return Random.Below(std::min<size_t>(ASize, 4096));
    case 1:
      return ASize - 1 - Random.Below(std::min<size_t>(ASize, 4096));
    default:
      return Random.Below(ASize);
    }
  };
  const size_t Damages = 1 + Random.Below(3);
  for (size_t D = 0; D < Damages && !ABytes.empty(); ++D) {
    switch (Random.Below(4)) {
    case 0:
    case 1: { // bytes flipped
      const size_t Count = 1 + Random.Below(16);
      for (size_t I = 0; I < Count; ++I)
        ABytes[Position(ABytes.size())] ^= static_cast<char>(1 + Random.Below(255));
      break;
    }
    case 2: // cut short
      ABytes.resize(Position(ABytes.size()));
      break;
    default: { // a range zeroed
      const size_t Start = Position(ABytes.size());
      const size_t Length = 1 + Random.Below(std::min<size_t>(ABytes.size() - Start, 8192));
      std::fill_n(ABytes.begin() + static_cast<std::ptrdiff_t>(Start), Length, '\0');
      break;
    }
    }
  }
  return ABytes;
}

std::vector<char> ReadAll(const fs::path& APath) {
  std::ifstream File(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& APath, const std::vector<char>& ABytes) {
  std::ofstream File(APath, std::ios::binary | std::ios::trunc);
  File.write(ABytes.data(), static_cast<std::streamsize>(ABytes.size()));
}

struct TCase {
  uint64_t Number = 0;
  fs::path Clip, Mutant, Output, Log;
  pid_t Child = -1;
  TClock::time_point Started;
};

struct TSettings {
  fs::path MediaDir, FindingsDir;
  double Minutes = 10;
  uint64_t Count = 0; // 0: run for Minutes
  uint64_t Seed = 1;
  std::string Seconds = "3";
  unsigned Jobs = 1;
  std::string Clip; // only this clip of MEDIA_DIR; empty: all
};

bool SanitizerReport(const fs::path& ALog) {
  const std::vector<char> Bytes = ReadAll(ALog);
  const std::string Text(Bytes.begin(), Bytes.end());
  for (const char* Mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                           "runtime error:", "ERROR: UndefinedBehaviorSanitizer"})
    if (Text.find(Mark) != std::string::npos) return true;
  return false;
}

std::string IncompleteReason(const fs::path& ALog) {
  const std::vector<char> Bytes = ReadAll(ALog);
  const std::string Text(Bytes.begin(), Bytes.end());
  const size_t At = Text.rfind(IncompleteMark);
  if (At == std::string::npos) return "(no reason given)";
  const size_t From = At + std::strlen(IncompleteMark);
  return Text.substr(From, Text.find('\n', From) - From);
}

class TFuzzRun {
public:
  explicit TFuzzRun(TSettings ASettings) : Settings(std::move(ASettings)) {}

  int Execute() {
    for (const auto& Entry : fs::directory_iterator(Settings.MediaDir))
      if (Entry.is_regular_file() && Entry.path().filename() != "manifest.txt" &&
          (Settings.Clip.empty() || Entry.path().filename() == Settings.Clip))
        Clips.push_back(Entry.path());
    std::sort(Clips.begin(), Clips.end());
    if (Clips.empty()) {
      std::fprintf(stderr, "pelorix-fuzz: no clips in %s\n", Settings.MediaDir.c_str());
      return ExitUsage;
    }
    fs::create_directories(Settings.FindingsDir);
    char Template[] = "/tmp/pelorix-fuzz-XXXXXX";
    if (!::mkdtemp(Template)) return ExitUsage;
    WorkDir = Template;
    // A sanitizer's own exit status must not pass for the engine's "failed" (1).
    ::setenv("ASAN_OPTIONS", "exitcode=86", 0);
    ::setenv("UBSAN_OPTIONS", "exitcode=86:print_stacktrace=1", 0);
    std::signal(SIGINT, OnStop);
    std::signal(SIGTERM, OnStop);

    const TClock::time_point Deadline =
        TClock::now() + std::chrono::milliseconds(static_cast<int64_t>(Settings.Minutes * 60000));
    std::vector<TCase> Running;
    TClock::time_point LastNote = TClock::now();
    for (;;) {
      const bool MayStart =
          !StopAsked && (Settings.Count > 0 ? Next < Settings.Count : TClock::now() < Deadline);
      while (MayStart && Running.size() < Settings.Jobs &&
             (Settings.Count == 0 || Next < Settings.Count))
        Running.push_back(StartCase(Next++));
      if (Running.empty()) break;
      bool Ended = false;
      for (auto It = Running.begin(); It != Running.end();) {
        if (Finish(*It)) {
          It = Running.erase(It);
          Ended = true;
        } else {
          ++It;
        }
      }
      if (!Ended) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (TClock::now() - LastNote > std::chrono::minutes(1)) {
        LastNote = TClock::now();
        Summary(stdout);
        std::fflush(stdout);
      }
      if ((StopAsked || (Settings.Count == 0 && TClock::now() >= Deadline)) && Running.empty())
        break;
    }
    std::error_code Error;
    fs::remove_all(WorkDir, Error);
    Summary(stdout);
    return Findings > 0 ? ExitFailed : ExitFinished;
  }

private:
  TCase StartCase(uint64_t ANumber) {
    TCase Case;
    Case.Number = ANumber;
    Case.Clip = Clips[ANumber % Clips.size()];
    const std::string Stem = std::to_string(Settings.Seed + ANumber);
    Case.Mutant = WorkDir / (Stem + "-" + Case.Clip.filename().string());
    Case.Output = WorkDir / (Stem + "-out.avi");
    Case.Log = WorkDir / (Stem + ".log");
    auto& Source = Sources[Case.Clip];
    if (Source.empty()) Source = ReadAll(Case.Clip);
    WriteAll(Case.Mutant, Mutate(Source, Settings.Seed + ANumber));

    std::string Program = ProgramPath();
    std::vector<std::string> Arguments = {Program,
                                          "convert",
                                          Case.Mutant.string(),
                                          Case.Output.string(),
                                          Settings.Seconds,
                                          std::to_string(1 + (Settings.Seed + ANumber) % 2)};
    std::vector<char*> Argv;
    for (std::string& Argument : Arguments) Argv.push_back(Argument.data());
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, STDOUT_FILENO, Case.Log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&Actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    Case.Started = TClock::now();
    if (posix_spawn(&Case.Child, Program.c_str(), &Actions, nullptr, Argv.data(), environ) != 0)
      Case.Child = -1;
    posix_spawn_file_actions_destroy(&Actions);
    return Case;
  }

  // True when the case has ended (and was judged).
  bool Finish(TCase& ACase) {
    int Status = 0;
    std::string Verdict;
    if (ACase.Child < 0) {
      Verdict = "could not start";
    } else {
      const pid_t Done = ::waitpid(ACase.Child, &Status, WNOHANG);
      if (Done == 0) {
        if (TClock::now() - ACase.Started < HangLimit) return false;
        ::kill(ACase.Child, SIGKILL);
        ::waitpid(ACase.Child, &Status, 0);
        Verdict = "hang (over 30 s)";
      } else if (WIFSIGNALED(Status)) {
        Verdict = std::string("signal ") + ::strsignal(WTERMSIG(Status));
      } else if (!WIFEXITED(Status) ||
                 (WEXITSTATUS(Status) != ExitFinished && WEXITSTATUS(Status) != ExitFailed &&
                  WEXITSTATUS(Status) != ExitIncomplete)) {
        Verdict = "exit status " + std::to_string(WIFEXITED(Status) ? WEXITSTATUS(Status) : -1);
      } else if (SanitizerReport(ACase.Log)) {
        Verdict = "sanitizer report";
      } else if (WEXITSTATUS(Status) == ExitIncomplete) {
        Verdict = "finished (exit 0) but the output check fails: " + IncompleteReason(ACase.Log);
      }
    }
    ++Tried;
    if (!Verdict.empty())
      Keep(ACase, Verdict);
    else
      ++(WEXITSTATUS(Status) == ExitFinished ? Converted : Refused);
    std::error_code Error;
    fs::remove(ACase.Mutant, Error);
    fs::remove(ACase.Output, Error);
    fs::remove(ACase.Log, Error);
    return true;
  }

  void Keep(const TCase& ACase, const std::string& AVerdict) {
    ++Findings;
    const fs::path Kept = Settings.FindingsDir / ACase.Mutant.filename();
    std::error_code Error;
    fs::copy_file(ACase.Mutant, Kept, fs::copy_options::overwrite_existing, Error);
    std::ofstream Log(Kept.string() + ".log", std::ios::trunc);
    Log << "clip " << ACase.Clip.filename().string() << ", seed " << Settings.Seed + ACase.Number
        << ": " << AVerdict << "\n";
    const std::vector<char> Output = ReadAll(ACase.Log);
    Log.write(Output.data(), static_cast<std::streamsize>(Output.size()));
    std::printf("pelorix-fuzz: finding: %s (%s) -> %s\n", ACase.Mutant.filename().c_str(),
                AVerdict.c_str(), Kept.c_str());
  }

  void Summary(std::FILE* AOut) const {
    const auto Number = [](uint64_t AValue) { return static_cast<unsigned long long>(AValue); };
    std::fprintf(AOut,
                 "pelorix-fuzz: %llu inputs tried (%llu converted, %llu failed cleanly), %llu "
                 "findings (seeds from %llu)\n",
                 Number(Tried), Number(Converted), Number(Refused), Number(Findings),
                 Number(Settings.Seed));
  }

  TSettings Settings;
  std::vector<fs::path> Clips;
  std::map<fs::path, std::vector<char>> Sources;
  fs::path WorkDir;
  uint64_t Next = 0, Tried = 0, Findings = 0;
  uint64_t Converted = 0, Refused = 0; // ended with 0 and with 1
};

int Usage() {
  std::fprintf(stderr, "usage: pelorix-fuzz run MEDIA_DIR FINDINGS_DIR [--minutes M | --count N] "
                       "[--seed S] [--seconds T] [--jobs J] [--clip NAME]\n"
                       "       pelorix-fuzz convert INPUT OUTPUT SECONDS [THREADS]\n");
  return ExitUsage;
}

} // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> Arguments(argv + 1, argv + argc);
  if ((Arguments.size() == 4 || Arguments.size() == 5) && Arguments[0] == "convert") {
    const int Threads = Arguments.size() == 5 ? std::atoi(Arguments[4].c_str()) : 1;
    if (Threads < 1) return Usage();
    return Convert(Arguments[1], Arguments[2], Arguments[3], Threads);
  }
  if (Arguments.size() < 3 || Arguments[0] != "run") return Usage();
  TSettings Settings;
  Settings.MediaDir = Arguments[1];
  Settings.FindingsDir = Arguments[2];
  try {
    for (size_t I = 3; I < Arguments.size(); I += 2) {
      if (I + 1 >= Arguments.size()) return Usage();
      const std::string& Name = Arguments[I];
      const std::string& Value = Arguments[I + 1];
      if (Name == "--minutes")
        Settings.Minutes = std::stod(Value);
      else if (Name == "--count")
        Settings.Count = std::stoull(Value);
      else if (Name == "--seed")
        Settings.Seed = std::stoull(Value);
      else if (Name == "--seconds")
        Settings.Seconds = Value;
      else if (Name == "--clip")
        Settings.Clip = Value;
      else if (Name == "--jobs")
        Settings.Jobs = std::max(1u, static_cast<unsigned>(std::stoul(Value)));
      else
        return Usage();
    }
  } catch (const std::exception&) {
    return Usage();
  }
  return TFuzzRun(Settings).Execute();
}
