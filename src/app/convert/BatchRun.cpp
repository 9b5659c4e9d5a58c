#include "BatchRun.h"

#include "AppSettings.h"
#include "ConvertProgress.h"
#include "OutputFormats.h"
#include "ProgramFolder.h"
#include "ResultLines.h"
#include "StopSignals.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace pelorix {
namespace {

std::string BaseName(const std::string& APath) {
  const size_t Slash = APath.find_last_of('/');
  return Slash == std::string::npos ? APath : APath.substr(Slash + 1);
}

} // namespace

TBatch::TBatch(const TArguments& AArgs) : Args(AArgs) {
  for (const std::string& Source : AArgs.Files) {
    TFile File;
    File.Source = Source;
    Files.push_back(File);
  }
  Interactive = !AArgs.Quiet && ::isatty(STDOUT_FILENO);
}

int TBatch::Run() {
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

void TBatch::AddTasks() {
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
void TBatch::SetOutputs() {
  const int Threads =
      Args.Jobs == 1
          ? 0
          : std::max(1, static_cast<int>(std::thread::hardware_concurrency()) / Args.Jobs);
  const std::string Folder =
      Args.FolderGiven ? Args.Folder : TAppSettings(ProgramFolder()).Read().Output;
  for (size_t Task = 0; Task < TaskFiles.size();) {
    TFile& File = Files[TaskFiles[Task]];
    TTaskOutput Built;
    if (SetFormatOutput(Converter, static_cast<int>(Task), *Args.Format, Args.SameFolder, Folder,
                        Threads, &File.Output, Args.Choice, &Built)) {
      File.Copied = Built.VideoCopied && Built.AudioCopied ? "video and audio"
                    : Built.VideoCopied                    ? "video"
                    : Built.AudioCopied                    ? "audio"
                                                           : "";
      ++Task;
      continue;
    }
    File.Result = {TTaskOutcome::toFailed, Converter.LastError()};
    File.Output.clear();
    Converter.RemoveTask(static_cast<int>(Task));
    TaskFiles.erase(TaskFiles.begin() + static_cast<std::ptrdiff_t>(Task));
  }
}

void TBatch::Convert() {
  Converter.SetOnProgress([this](int AIndex, int, int, int ACurrentDuration, float, float, int64_t,
                                 int ATotalOutputDuration) {
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

  const TStopSignals Signals;
  const auto RunStart = std::chrono::steady_clock::now();
  Converter.Start(Args.Jobs);
  bool StopAsked = false;
  while (!RunOver) {
    for (const TRunEvent& Event : Events.Take(std::chrono::milliseconds(200))) Apply(Event);
    if (Signals.StopRequested() && !StopAsked) {
      StopAsked = true;
      Stopped = true;
      Converter.Stop(); // running files end cleanly; the rest do not start
    }
    if (!Args.Quiet) Draw(RunStart);
  }
  // The progress block gives way to the results.
  if (Interactive && DrawnLines > 0) std::printf("\033[%dF\033[J", DrawnLines);
  Converter.SetOnProgress(nullptr);
  Converter.SetOnTerminate(nullptr);
  Converter.ClearTasks();
}

void TBatch::Apply(const TRunEvent& AEvent) {
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
    // The name the output got: another program may have taken the one it was given.
    File.Output = Converter.Tasks(AEvent.Index).OutputPath;
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
void TBatch::Draw(std::chrono::steady_clock::time_point ARunStart) {
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

int TBatch::Report() {
  bool AllConverted = true;
  for (TFile& File : Files) {
    // A failed file left nothing behind: the converter removed what it had written. An
    // incomplete one is a failure too, kept only when asked for.
    if (File.Result.Outcome == TTaskOutcome::toIncomplete && !Args.KeepPartial &&
        !File.Output.empty()) {
      std::error_code Ignored;
      std::filesystem::remove(std::filesystem::u8path(File.Output), Ignored);
      File.Output.clear();
    }
    AllConverted = AllConverted && File.Result.Outcome == TTaskOutcome::toConverted;
    std::printf("%s\n", ResultLine(File.Source, File.Output, File.Result, File.Copied).c_str());
  }
  std::fflush(stdout);
  if (Stopped) return ExitStopped;
  return AllConverted ? ExitConverted : ExitFailed;
}

} // namespace pelorix
