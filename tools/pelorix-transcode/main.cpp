// pelorix-transcode: drives one engine from the command line, so the engine can be used and
// checked without the window.
//
//   pelorix-transcode [-q] [-y] [-threads N] [NAME=VALUE | -i INPUT | -o OUTPUT]...
//
// Arguments act left to right: NAME=VALUE is SetOption(NAME, VALUE) and acts on the next file
// opened, -i opens an input, -o an output, -q hides the progress line, -y lets the outputs
// after it replace existing files, -threads N gives every decoder and encoder of the run N
// threads (0: one per processor). Then the run starts on this thread. Ctrl-C asks the engine
// to stop; it finishes the file first.
//
// An existing regular file is never written over without -y (devices and FIFOs are). When an
// option, an open or the run fails, the output files this run opened are deleted, so that no
// broken file is taken for a converted one; a stop keeps its complete, shorter file.
//
// Exit status: 0 finished, 1 an option, an open or the run failed (the engine's message is the
// last thing printed, after "pelorix-transcode: "), 2 usage error, 3 stopped by the user.
#include "FFmpeg.h"
#include "MediaLibraries.h"
#include "OptionConversions.h"
#include "ProgramFolder.h"
#include "ProgressBar.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace pelorix;

constexpr int ExitFinished = 0, ExitFailed = 1, ExitUsage = 2, ExitStopped = 3;

TCustomFFmpeg* Interrupted = nullptr; // the engine a Ctrl-C stops, while it runs

void OnInterrupt(int) {
  if (Interrupted) Interrupted->SignalStop();
}

// The engine's texts use "\r\n" inside messages; a terminal wants plain line breaks.
std::string PlainLines(std::string AText) {
  for (size_t Pos; (Pos = AText.find("\r\n")) != std::string::npos;) AText.erase(Pos, 1);
  while (!AText.empty() && AText.back() == '\n') AText.pop_back();
  return AText;
}

int Fail(const std::string& AMessage) {
  std::fprintf(stderr, "pelorix-transcode: %s\n", PlainLines(AMessage).c_str());
  return ExitFailed;
}

int Usage() {
  std::fprintf(
      stderr,
      "usage: pelorix-transcode [-q] [-y] [-threads N] [NAME=VALUE | -i INPUT | -o OUTPUT]...\n"
      "  NAME=VALUE acts on the next file opened: give input options before -i,\n"
      "  output options (vcodec=, acodec=, b=, ...) after -i and before -o;\n"
      "  -y lets the following -o replace an existing file;\n"
      "  -threads N gives every codec N threads (0: one per processor)\n");
  return ExitUsage;
}

// An output this run opened, as it was found just after the open.
struct TOpenedOutput {
  std::string Path;
  dev_t Device = 0;
  ino_t Inode = 0;
};

class TDriver {
public:
  TDriver() : ShowProgress(::isatty(STDERR_FILENO) != 0) {
    Engine.SetLogCallback([this](TCustomFFmpeg&, int ALevel, const std::string& AText) {
      if (ALevel < 0) return; // the run's error: printed once, last, by Finish
      ClearProgress();
      std::fprintf(stderr, "%s\n", PlainLines(AText).c_str());
    });
    Engine.SetProgressCallback([this](TCustomFFmpeg&, int, int, int ACurrentDuration, float, float,
                                      int64_t, int ATotalDuration) {
      if (!ShowProgress) return;
      std::fprintf(stderr, "\r%s", Bar.Format(ACurrentDuration, ATotalDuration).c_str());
      ProgressShown = true;
    });
  }

  int Execute(int AArgumentCount, char** AArguments) {
    Engine.Reset();
    for (int I = 1; I < AArgumentCount; ++I) {
      const std::string Argument = AArguments[I];
      try {
        if (Argument == "-q") {
          ShowProgress = false;
        } else if (Argument == "-threads") {
          if (++I == AArgumentCount) return Usage();
          Engine.SetThreadCount(StrToInt(AArguments[I]));
        } else if (Argument == "-y") {
          Overwrite = true;
        } else if (Argument == "-i") {
          if (++I == AArgumentCount) return Usage();
          if (!Engine.OpenInputFile(AArguments[I])) return Failed(Engine.LastErrorText());
        } else if (Argument == "-o") {
          if (++I == AArgumentCount) return Usage();
          const std::string Path = AArguments[I];
          struct stat Info {};
          if (!Overwrite && ::stat(Path.c_str(), &Info) == 0 && S_ISREG(Info.st_mode))
            return Failed("'" + Path + "' exists; give -y before -o to replace it");
          if (!Engine.OpenOutputFile(Path)) return Failed(Engine.LastErrorText());
          NoteOpened(Path);
        } else if (const size_t Equals = Argument.find('=');
                   Equals != std::string::npos && Equals > 0) {
          Engine.SetOption(Argument.substr(0, Equals), Argument.substr(Equals + 1));
        } else {
          return Usage();
        }
      } catch (const std::exception& E) {
        return Failed(E.what());
      }
    }
    Interrupted = &Engine;
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    Engine.Start(false, TConvertPriority::tpNormal);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    Interrupted = nullptr;
    ClearProgress();
    if (Engine.ErrorOccurred()) return Failed(Engine.ErrorMessage());
    return Engine.Finished() ? ExitFinished : ExitStopped;
  }

private:
  // The run failed: the files opened are closed and the regular files this run made are
  // deleted (a file is left alone when something else has taken its name since).
  int Failed(std::string AMessage) { // a copy: the engine's texts go with Reset
    Engine.Reset();
    for (const TOpenedOutput& Output : Opened) {
      struct stat Info {};
      if (::lstat(Output.Path.c_str(), &Info) == 0 && S_ISREG(Info.st_mode) &&
          Info.st_dev == Output.Device && Info.st_ino == Output.Inode)
        ::unlink(Output.Path.c_str());
    }
    Opened.clear();
    return Fail(AMessage);
  }

  void NoteOpened(const std::string& APath) {
    struct stat Info {};
    if (::lstat(APath.c_str(), &Info) == 0 && S_ISREG(Info.st_mode))
      Opened.push_back({APath, Info.st_dev, Info.st_ino});
  }

  void ClearProgress() {
    if (!ProgressShown) return;
    std::fprintf(stderr, "\r\033[K");
    ProgressShown = false;
  }

  TCustomFFmpeg Engine;
  TProgressBar Bar;
  bool ShowProgress;
  bool ProgressShown = false;
  bool Overwrite = false; // -y given: later outputs may replace existing files
  std::vector<TOpenedOutput> Opened; // deleted again when the run fails
};

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  if (!LoadMediaLibraries(ProgramFolder() + "lib", true)) return Fail(MediaLibrariesError());
  TDriver Driver;
  return Driver.Execute(argc, argv);
}
