// pelorix-convert: converts files to one of the window's output formats from the command line,
// through the converter component, with the same output names and options as the window.
//
// Threads: the main thread owns the converter, keeps every file's state, draws the progress and
// handles Ctrl-C; the converter's events arrive on its worker threads and are only queued for
// the main thread (RunEvents.h), which never holds a lock when it calls the converter.
#include "AppSettings.h"
#include "ConvertProgress.h"
#include "OutputFormats.h"
#include "ProgramFolder.h"
#include "RunEvents.h"
#include "VexoConverter.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace pelorix {
namespace {

constexpr int ExitConverted = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitStopped = 3;

const char* const UsageText =
    "usage: pelorix-convert [-f FORMAT] [-o FOLDER | --same-folder] [-j JOBS] [-q] FILE...\n"
    "       pelorix-convert --list-formats\n"
    "\n"
    "  -f FORMAT       output format: a label or extension of --list-formats (default: the first)\n"
    "  -o FOLDER       output folder (default: the window's, else ~/orvaneVideo)\n"
    "  --same-folder   write every output beside its source\n"
    "  -j JOBS         files converted at once (default 1)\n"
    "  -q              print only the results\n"
    "  --realtime      read the sources no faster than they play\n"
    "\n"
    "Exit status: 0 all converted, 1 some failed or were skipped, 2 usage, 3 stopped (Ctrl-C).\n";

volatile sig_atomic_t StopSignal = 0;

extern "C" void OnStopSignal(int) { StopSignal = 1; }

struct TArguments {
  const TOutputFormat* Format = nullptr;
  std::string Folder;
  bool FolderGiven = false;
  bool SameFolder = false;
  int Jobs = 1;
  bool Quiet = false;
  bool Realtime = false;
  bool ListFormats = false;
  std::vector<std::string> Files;
};

struct TFile {
  std::string Source;
  std::string Output;
  TTaskResult Result; // toNone while it waits or runs
  bool Running = false; // reported progress and has not ended
  int64_t DoneMs = 0, TotalMs = 0;
  // Its first report: the speed is measured from there.
  int64_t FirstDoneMs = 0;
  std::chrono::steady_clock::time_point FirstReport;
};

int UsageError(const std::string& AText) {
  std::fprintf(stderr, "pelorix-convert: %s\n%s", AText.c_str(), UsageText);
  return ExitUsage;
}

bool ParseJobs(const std::string& AText, int& AJobs) {
  if (AText.empty() || AText.size() > 3 ||
      !std::all_of(AText.begin(), AText.end(), [](char C) { return C >= '0' && C <= '9'; }))
    return false;
  AJobs = std::stoi(AText);
  return AJobs >= 1;
}

// Fills AArgs; returns -1 to go on, else the exit status.
int ParseArguments(int AArgc, char** AArgv, TArguments& AArgs) {
  std::string FormatName;
  bool OptionsEnded = false;
  for (int I = 1; I < AArgc; ++I) {
    const std::string Arg = AArgv[I];
    auto Value = [&](std::string& AValue) {
      if (I + 1 >= AArgc) return false;
      AValue = AArgv[++I];
      return true;
    };
    if (OptionsEnded || Arg.empty() || Arg[0] != '-' || Arg == "-") {
      AArgs.Files.push_back(Arg);
    } else if (Arg == "--") {
      OptionsEnded = true;
    } else if (Arg == "-h" || Arg == "--help") {
      std::fputs(UsageText, stdout);
      return ExitConverted;
    } else if (Arg == "-f") {
      if (!Value(FormatName)) return UsageError("-f needs a format");
    } else if (Arg == "-o") {
      if (!Value(AArgs.Folder) || AArgs.Folder.empty()) return UsageError("-o needs a folder");
      AArgs.FolderGiven = true;
    } else if (Arg == "--same-folder") {
      AArgs.SameFolder = true;
    } else if (Arg == "-j") {
      std::string Jobs;
      if (!Value(Jobs) || !ParseJobs(Jobs, AArgs.Jobs))
        return UsageError("-j needs a number of files from 1 to 999");
    } else if (Arg == "-q") {
      AArgs.Quiet = true;
    } else if (Arg == "--realtime") {
      AArgs.Realtime = true;
    } else if (Arg == "--list-formats") {
      AArgs.ListFormats = true;
    } else {
      return UsageError("unknown option " + Arg);
    }
  }
  if (AArgs.FolderGiven && AArgs.SameFolder)
    return UsageError("-o and --same-folder exclude each other");
  AArgs.Format = FormatName.empty() ? &OutputFormats().front() : FindOutputFormat(FormatName);
  if (!AArgs.Format)
    return UsageError("unknown format \"" + FormatName + "\" (see --list-formats)");
  if (!AArgs.ListFormats && AArgs.Files.empty()) return UsageError("no file given");
  return -1;
}

void ListFormats() {
  for (const TOutputFormat& Format : OutputFormats()) {
    std::string Codecs;
    if (Format.Target == 3)
      Codecs = "MPEG-2 video + AC-3, DVD layout, PAL or NTSC from the source";
    else if (Format.AudioOnly)
      Codecs = Format.AudioCodec;
    else
      Codecs = Format.VideoCodec + " + " + Format.AudioCodec;
    std::printf("%-6s %-26s %s\n", FormatExtension(Format.Text).substr(1).c_str(),
                Format.Text.c_str(), Codecs.c_str());
  }
}

std::string BaseName(const std::string& APath) {
  const size_t Slash = APath.find_last_of('/');
  return Slash == std::string::npos ? APath : APath.substr(Slash + 1);
}

class TBatch {
public:
  explicit TBatch(const TArguments& AArgs) : Args(AArgs) {
    for (const std::string& Source : AArgs.Files) {
      TFile File;
      File.Source = Source;
      Files.push_back(File);
    }
    Interactive = !AArgs.Quiet && ::isatty(STDOUT_FILENO);
  }

  int Run() {
    Converter.SetLogLevel(TLogLevel::llQuiet);
    Converter.SetProgressInterval(250);
    if (!Converter.LoadLibraries(ProgramFolder() + "lib", true)) {
      std::fprintf(stderr, "Error: Lib cannot be loaded.\n%s\n", Converter.LastError().c_str());
      return ExitFailed;
    }
    AddTasks();
    SetOutputs();
    if (!TaskFiles.empty()) Convert();
    return Report();
  }

private:
  void AddTasks() {
    for (size_t I = 0; I < Files.size(); ++I) {
      TInputOptions Input;
      InitInputOptions(Input);
      if (Args.Realtime) Input.ExtOptions = "re=1";
      if (Converter.AddTask(Files[I].Source, &Input) < 0) {
        Files[I].Result = SkippedResult("not a media file");
        continue;
      }
      TaskFiles.push_back(I);
    }
  }

  // Every task gets its output; a task whose output cannot be set leaves the list, so that
  // task i stays the file TaskFiles[i].
  void SetOutputs() {
    const int Threads =
        Args.Jobs == 1
            ? 0
            : std::max(1, static_cast<int>(std::thread::hardware_concurrency()) / Args.Jobs);
    const std::string Folder =
        Args.FolderGiven ? Args.Folder : TAppSettings(ProgramFolder()).Read().Output;
    for (size_t Task = 0; Task < TaskFiles.size();) {
      TFile& File = Files[TaskFiles[Task]];
      if (SetFormatOutput(Converter, static_cast<int>(Task), *Args.Format, Args.SameFolder, Folder,
                          Threads, &File.Output)) {
        ++Task;
        continue;
      }
      File.Result = {TTaskOutcome::toFailed, Converter.LastError()};
      File.Output.clear();
      Converter.RemoveTask(static_cast<int>(Task));
      TaskFiles.erase(TaskFiles.begin() + static_cast<std::ptrdiff_t>(Task));
    }
  }

  void Convert() {
    Converter.SetOnProgress([this](int AIndex, int, int, int ACurrentDuration, float, float,
                                   int64_t, int ATotalOutputDuration) {
      TRunEvent Event;
      Event.Index = AIndex;
      Event.DoneMs = ACurrentDuration;
      Event.TotalMs = ATotalOutputDuration;
      Events.Push(std::move(Event));
    });
    Converter.SetOnTerminate([this](int AIndex, const TTaskResult& AResult) {
      TRunEvent Event;
      Event.Index = AIndex;
      Event.End = true;
      Event.Result = AResult;
      Events.Push(std::move(Event));
    });

    struct sigaction Action {};
    Action.sa_handler = OnStopSignal;
    sigemptyset(&Action.sa_mask);
    struct sigaction OldInt {};
    struct sigaction OldTerm {};
    sigaction(SIGINT, &Action, &OldInt);
    sigaction(SIGTERM, &Action, &OldTerm);

    const auto RunStart = std::chrono::steady_clock::now();
    Converter.Start(Args.Jobs);
    bool StopAsked = false;
    while (!RunOver) {
      for (const TRunEvent& Event : Events.Take(std::chrono::milliseconds(200))) Apply(Event);
      if (StopSignal && !StopAsked) {
        StopAsked = true;
        Stopped = true;
        Converter.Stop(); // running files end cleanly; the rest do not start
      }
      if (!Args.Quiet) Draw(RunStart);
    }
    // The progress block gives way to the results.
    if (Interactive && DrawnLines > 0) std::printf("\033[%dF\033[J", DrawnLines);
    sigaction(SIGINT, &OldInt, nullptr);
    sigaction(SIGTERM, &OldTerm, nullptr);
    Converter.SetOnProgress(nullptr);
    Converter.SetOnTerminate(nullptr);
    Converter.ClearTasks();
  }

  void Apply(const TRunEvent& AEvent) {
    if (AEvent.Index < 0) {
      RunOver = RunOver || AEvent.End;
      return;
    }
    if (static_cast<size_t>(AEvent.Index) >= TaskFiles.size()) return;
    const size_t Index = TaskFiles[static_cast<size_t>(AEvent.Index)];
    TFile& File = Files[Index];
    if (AEvent.End) {
      if (File.Running) Ended.push_back(Index);
      File.Running = false;
      File.Result = AEvent.Result;
      return;
    }
    if (File.Result.Ended()) return;
    if (!File.Running) {
      File.Running = true;
      File.FirstReport = AEvent.At;
      File.FirstDoneMs = AEvent.DoneMs;
      Started.push_back(Index);
    }
    File.DoneMs = AEvent.DoneMs;
    File.TotalMs = AEvent.TotalMs;
  }

  // On a terminal, the block of lines is redrawn in place; elsewhere one line says when each
  // file starts and one when it ends.
  void Draw(std::chrono::steady_clock::time_point ARunStart) {
    const auto Now = std::chrono::steady_clock::now();
    if (!Interactive) {
      for (; Announced < Started.size(); ++Announced)
        std::printf("converting %s\n", Files[Started[Announced]].Source.c_str());
      for (; AnnouncedEnds < Ended.size(); ++AnnouncedEnds)
        std::printf("ended %s\n", Files[Ended[AnnouncedEnds]].Source.c_str());
      std::fflush(stdout);
      return;
    }
    std::string Block;
    if (DrawnLines > 0) Block += "\033[" + std::to_string(DrawnLines) + "F";
    int Lines = 0, EndedCount = 0;
    int64_t Done = 0, Total = 0;
    for (size_t Index : TaskFiles) {
      const TFile& F = Files[Index];
      Done += F.Result.Ended() ? F.TotalMs : F.DoneMs;
      Total += F.TotalMs;
      if (F.Result.Ended()) ++EndedCount;
      if (!F.Running) continue;
      Block += FileProgressLine(BaseName(F.Source), F.DoneMs, F.TotalMs,
                                std::chrono::duration<double>(Now - F.FirstReport).count(),
                                F.FirstDoneMs) +
               "\033[K\n";
      ++Lines;
    }
    Block += TotalProgressLine(EndedCount, static_cast<int>(TaskFiles.size()), Done, Total,
                               std::chrono::duration<double>(Now - ARunStart).count()) +
             "\033[K\n";
    ++Lines;
    for (int Extra = Lines; Extra < DrawnLines; ++Extra) Block += "\033[K\n";
    DrawnLines = std::max(Lines, DrawnLines);
    std::fputs(Block.c_str(), stdout);
    std::fflush(stdout);
  }

  int Report() {
    bool AllConverted = true;
    for (TFile& File : Files) {
      std::string Line;
      switch (File.Result.Outcome) {
      case TTaskOutcome::toSkipped:
        Line = "skipped: " + File.Source + " (" + File.Result.Reason + ")";
        break;
      case TTaskOutcome::toFailed:
        // A file that failed while converting is not left behind half written.
        if (!File.Output.empty()) {
          std::error_code Ignored;
          std::filesystem::remove(std::filesystem::u8path(File.Output), Ignored);
        }
        Line = "failed: " + File.Source + ": " + File.Result.Reason;
        break;
      case TTaskOutcome::toIncomplete:
        Line =
            "incomplete: " + File.Source + " -> " + File.Output + " (" + File.Result.Reason + ")";
        break;
      case TTaskOutcome::toConverted:
        Line = "converted: " + File.Source + " -> " + File.Output;
        break;
      case TTaskOutcome::toStopped:
        Line = "stopped: " + File.Source + " -> " + File.Output + " (cut short)";
        break;
      case TTaskOutcome::toNotStarted:
      case TTaskOutcome::toNone:
        Line = "not started: " + File.Source;
        break;
      }
      AllConverted = AllConverted && File.Result.Outcome == TTaskOutcome::toConverted;
      std::printf("%s\n", Line.c_str());
    }
    std::fflush(stdout);
    if (Stopped) return ExitStopped;
    return AllConverted ? ExitConverted : ExitFailed;
  }

  const TArguments& Args;
  TVexoConverter Converter;
  std::vector<TFile> Files;
  std::vector<size_t> TaskFiles; // task index -> file index
  bool Interactive = false;
  bool Stopped = false;

  TRunEventQueue Events;
  // The main thread's alone, from the events taken:
  std::vector<size_t> Started; // file indexes, in the order they started
  std::vector<size_t> Ended; // and of those, in the order they ended
  size_t Announced = 0, AnnouncedEnds = 0;
  int DrawnLines = 0;
  bool RunOver = false;
};

} // namespace
} // namespace pelorix

int main(int argc, char** argv) {
  using namespace pelorix;
  TArguments Args;
  if (const int Status = ParseArguments(argc, argv, Args); Status >= 0) return Status;
  if (Args.ListFormats) {
    ListFormats();
    if (Args.Files.empty()) return ExitConverted;
  }
  TBatch Batch(Args);
  return Batch.Run();
}
