// pelorix-transcode: drives one engine from the command line, so the engine can be used and
// checked without the window.
//
//   pelorix-transcode [-q] [-threads N] [NAME=VALUE | -i INPUT | -o OUTPUT]...
//
// Arguments act left to right: NAME=VALUE is SetOption(NAME, VALUE), -i opens an input, -o an
// output, -q hides the progress line, -threads N gives every decoder and encoder of the run N
// threads (0: one per processor). Then the run starts on this thread. Ctrl-C asks the engine
// to stop; it finishes the file first.
//
// Exit status: 0 finished, 1 an option, an open or the run failed (the engine's message is the
// last thing printed, after "pelorix-transcode: "), 2 usage error, 3 stopped by the user.
#include "FFmpeg.h"
#include "MediaLibraries.h"
#include "OptionConversions.h"
#include "ProgramFolder.h"
#include "ProgressBar.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

namespace {

using namespace pelorix;

constexpr int ExitFinished = 0, ExitFailed = 1, ExitUsage = 2, ExitStopped = 3;

TCustomFFmpeg* Interrupted = nullptr; // the engine a Ctrl-C stops, while it runs

void OnInterrupt(int) {
  if (Interrupted) Interrupted->SignalStop();
}

// The engine's texts use "\r\n" inside messages; a terminal wants plain line breaks.
std::string PlainLines(std::string AText) {
  for (size_t Pos; (Pos = AText.find("\r\n")) != std::string::npos;)
    AText.erase(Pos, 1);
  while (!AText.empty() && AText.back() == '\n')
    AText.pop_back();
  return AText;
}

int Fail(const std::string& AMessage) {
  std::fprintf(stderr, "pelorix-transcode: %s\n", PlainLines(AMessage).c_str());
  return ExitFailed;
}

int Usage() {
  std::fprintf(
      stderr,
      "usage: pelorix-transcode [-q] [-threads N] [NAME=VALUE | -i INPUT | -o OUTPUT]...\n");
  return ExitUsage;
}

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
        } else if (Argument == "-i" || Argument == "-o") {
          if (++I == AArgumentCount) return Usage();
          const bool Opened = Argument == "-i" ? Engine.OpenInputFile(AArguments[I])
                                               : Engine.OpenOutputFile(AArguments[I]);
          if (!Opened) return Fail(Engine.LastErrorText());
        } else if (const size_t Equals = Argument.find('=');
                   Equals != std::string::npos && Equals > 0) {
          Engine.SetOption(Argument.substr(0, Equals), Argument.substr(Equals + 1));
        } else {
          return Usage();
        }
      } catch (const std::exception& E) {
        return Fail(E.what());
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
    if (Engine.ErrorOccurred()) return Fail(Engine.ErrorMessage());
    return Engine.Finished() ? ExitFinished : ExitStopped;
  }

private:
  void ClearProgress() {
    if (!ProgressShown) return;
    std::fprintf(stderr, "\r\033[K");
    ProgressShown = false;
  }

  TCustomFFmpeg Engine;
  TProgressBar Bar;
  bool ShowProgress;
  bool ProgressShown = false;
};

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  if (!LoadMediaLibraries(ProgramFolder() + "lib", true)) return Fail(MediaLibrariesError());
  TDriver Driver;
  return Driver.Execute(argc, argv);
}
