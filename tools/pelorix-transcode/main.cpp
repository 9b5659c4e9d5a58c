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
// An existing regular file is never written over without -y (devices and FIFOs are), and an
// output is never one of the inputs, whichever of the two was named first. A file output is
// written under a temporary name beside it and takes its name only when the run has finished
// or was stopped (a stop keeps its complete, shorter file); -y replaces the old file only
// then, and when another program took a free name meanwhile, the next numbered name is used.
// When an option, an open or the run fails, the temporary files are removed and the old files
// stay as they were, so that no broken file is taken for a converted one.
//
// Exit status: 0 finished, 1 an option, an open or the run failed (the engine's message is the
// last thing printed, after "pelorix-transcode: "), 2 usage error, 3 stopped by the user.
#include "FFmpeg.h"
#include "FileIdentity.h"
#include "MediaLibraries.h"
#include "OptionConversions.h"
#include "OutputClaim.h"
#include "ProgramFolder.h"
#include "ProgressBar.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
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

// An output this run opened under its own name (a device, a FIFO, a numbered picture
// series), as it was found just after the open.
struct TOpenedOutput {
  std::string Path;
  dev_t Device = 0;
  ino_t Inode = 0;
};

// An output file written under a temporary name until the run has ended.
struct TClaimedOutput {
  std::unique_ptr<TOutputClaim> Claim;
  bool Replace = false; // -y came before its -o
};

// Whether APath is a file the driver writes under a temporary name: a local name that is no
// device, FIFO or folder, and no numbered series ("img%03d.png") of a muxer that makes its
// own files.
bool ClaimsName(const std::string& APath) {
  const std::optional<std::string> Local = LocalFilePath(APath);
  if (!Local || Local->empty() || Local->find('%') != std::string::npos) return false;
  struct stat Info {};
  return ::stat(Local->c_str(), &Info) != 0 || S_ISREG(Info.st_mode);
}

std::string SameFileText(const std::string& AOutput, const std::string& AInput) {
  return "Output file '" + AOutput + "' is the input file '" + AInput +
         "': choose another output file";
}

class TDriver {
public:
  TDriver() : ShowProgress(::isatty(STDERR_FILENO) != 0) {
    Engine.SetLogCallback([this](TCustomFFmpeg&, int ALevel, const std::string& AText) {
      if (ALevel < 0) return; // the run's error: printed once, last, by Finish
      ClearProgress();
      std::fprintf(stderr, "%s\n", PlainLines(ShownNames(AText)).c_str());
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
          const std::string Path = AArguments[I];
          for (const std::string& Output : OutputNames)
            if (SameLocalFile(Output, Path)) return Failed(SameFileText(Output, Path));
          if (!Engine.OpenInputFile(Path)) return Failed(Engine.LastErrorText());
          InputNames.push_back(Path);
        } else if (Argument == "-o") {
          if (++I == AArgumentCount) return Usage();
          if (const int Status = OpenOutput(AArguments[I]); Status >= 0) return Status;
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
    const int Status = Engine.Finished() ? ExitFinished : ExitStopped;
    Engine.Reset(); // every file closed before it takes its name
    for (TClaimedOutput& Output : Claimed) {
      // The engine's clean-up removed an output that got nothing (a stop before the start).
      if (!Output.Claim->HasContent()) {
        Output.Claim->Abandon();
        continue;
      }
      const std::string Asked = Output.Claim->FinalName();
      std::string Error;
      if (!Output.Claim->Commit(Output.Replace, Error)) return Failed(Error);
      if (Output.Claim->FinalName() != Asked)
        std::fprintf(stderr, "'%s' was taken meanwhile; the output is '%s'\n", Asked.c_str(),
                     Output.Claim->FinalName().c_str());
    }
    return Status;
  }

private:
  // Opens an output at its -o: -1 to go on, else the exit status.
  int OpenOutput(const std::string& APath) {
    for (const std::string& Input : InputNames)
      if (SameLocalFile(APath, Input)) return Failed(SameFileText(APath, Input));
    OutputNames.push_back(APath);
    if (!ClaimsName(APath)) {
      if (!Engine.OpenOutputFile(APath)) return Failed(Engine.LastErrorText());
      NoteOpened(APath);
      return -1;
    }
    const std::string Path = *LocalFilePath(APath);
    struct stat Info {};
    if (!Overwrite && ::stat(Path.c_str(), &Info) == 0)
      return Failed("'" + APath + "' exists; give -y before -o to replace it");
    TClaimedOutput Output{std::make_unique<TOutputClaim>(), Overwrite};
    std::string Error;
    if (!Output.Claim->Begin(Path, Error)) return Failed(Error);
    Claimed.push_back(std::move(Output));
    if (!Engine.OpenOutputFile(Claimed.back().Claim->TemporaryName()))
      return Failed(Engine.LastErrorText());
    return -1;
  }

  // An engine text with every temporary name shown as the output's own.
  std::string ShownNames(std::string AText) const {
    for (const TClaimedOutput& Output : Claimed) {
      const std::string& Temporary = Output.Claim->TemporaryName();
      if (Temporary.empty()) continue;
      for (size_t Pos; (Pos = AText.find(Temporary)) != std::string::npos;)
        AText.replace(Pos, Temporary.size(), Output.Claim->FinalName());
    }
    return AText;
  }

  // The run failed: the files opened are closed, the temporary files removed, and the regular
  // files this run opened under their own names deleted (a file is left alone when something
  // else has taken its name since).
  int Failed(std::string AMessage) { // a copy: the engine's texts go with Reset
    AMessage = ShownNames(AMessage);
    Engine.Reset();
    for (TClaimedOutput& Output : Claimed) Output.Claim->Abandon();
    Claimed.clear();
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
  std::vector<TClaimedOutput> Claimed; // named when the run has ended, else removed
  std::vector<std::string> InputNames, OutputNames; // as given, for the same-file refusal
};

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  if (!LoadMediaLibraries(ProgramFolder() + "lib", true)) return Fail(MediaLibrariesError());
  TDriver Driver;
  return Driver.Execute(argc, argv);
}
