#include "BatchRun.h"

#include "AppSettings.h"
#include "ConvertProgress.h"
#include "JsonResults.h"
#include "OutputClaim.h"
#include "OutputFormats.h"
#include "PartialRecords.h"
#include "ProgramFolder.h"
#include "ResultLines.h"
#include "SourceList.h"
#include "StopSignals.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

std::string BaseName(const std::string& APath) {
  const size_t Slash = APath.find_last_of('/');
  return Slash == std::string::npos ? APath : APath.substr(Slash + 1);
}

int Processors() { return std::max(1, static_cast<int>(std::thread::hardware_concurrency())); }

bool Exists(const std::string& APath) {
  std::error_code Ignored;
  return fs::exists(fs::path(APath), Ignored);
}

int64_t FileBytes(const std::string& APath) {
  std::error_code Error;
  const uintmax_t Size = APath.empty() ? 0 : fs::file_size(fs::path(APath), Error);
  return APath.empty() || Error ? -1 : static_cast<int64_t>(Size);
}

// A walked file is converted when the libraries find sound or moving pictures in it: a photo
// (read by a still-picture demuxer) or a text file (shown as pictures by the text demuxer)
// is no clip.
bool IsMediaFile(const TProbeSummary& ASource) {
  const std::string& Container = ASource.Container;
  const bool StillOrText =
      Container == "image2" || Container == "tty" ||
      (Container.size() > 5 && Container.compare(Container.size() - 5, 5, "_pipe") == 0);
  if (StillOrText) return false;
  return ASource.AudioStreamCount > 0 ||
         (ASource.VideoStreamCount > 0 && !ASource.Video.AttachedPicture);
}

// AName, else the first of "NAME [1]", "NAME [2]", ... (before a closing bracket that ends the
// name, as the window numbers its names) that nothing on the disc has.
std::string FreeName(const std::string& AName) {
  if (!Exists(AName)) return AName;
  const fs::path Path(AName);
  const std::string Stem = Path.stem().string(), Extension = Path.extension().string();
  const fs::path Folder = Path.parent_path();
  const bool Bracket = !Stem.empty() && Stem.back() == ')';
  for (int N = 1;; ++N) {
    const std::string Number = " [" + std::to_string(N) + "]";
    const std::string Name = Bracket ? Stem.substr(0, Stem.size() - 1) + Number + ")" + Extension
                                     : Stem + Number + Extension;
    const std::string Candidate = (Folder / Name).string();
    if (!Exists(Candidate)) return Candidate;
  }
}

std::string ExistsReason(const std::string& AOutput) {
  return ReadPartialRecord(AOutput) == TPartialState::psStopped
             ? "output exists, cut short by a stop (--redo-stopped converts it again)"
             : "output exists";
}

// Two spellings of one path are one name.
std::string NameKey(const std::string& APath) {
  return fs::absolute(fs::path(APath)).lexically_normal().string();
}

// The kinds of the output's streams, the kinds in the order their first stream comes.
std::vector<std::string> StreamKinds(TAVProbe& AProbe, const std::string& AOutput) {
  std::vector<std::string> Kinds;
  if (AOutput.empty() || !AProbe.Open(AOutput)) return Kinds;
  std::vector<std::pair<int, std::pair<int, const char*>>> Groups{
      {AProbe.FirstVideoStream(), {AProbe.VideoStreamCount(), "video"}},
      {AProbe.FirstAudioStream(), {AProbe.AudioStreamCount(), "audio"}},
      {AProbe.FirstSubtitleStream(), {AProbe.SubtitleStreamCount(), "subtitle"}}};
  std::sort(Groups.begin(), Groups.end());
  for (const auto& [First, Group] : Groups)
    for (int I = 0; First >= 0 && I < Group.first; ++I) Kinds.push_back(Group.second);
  AProbe.Close();
  return Kinds;
}

} // namespace

TBatch::TBatch(const TArguments& AArgs) : Args(AArgs) {
  Progress = !AArgs.Quiet && !AArgs.Json;
  Interactive = Progress && ::isatty(STDOUT_FILENO);
}

int TBatch::Run() {
  Converter.SetLogLevel(TLogLevel::llQuiet);
  Converter.SetProgressInterval(250);
  if (!Converter.LoadLibraries(ProgramFolder() + "lib", true)) {
    std::fprintf(stderr, "Error: Lib cannot be loaded.\n%s\n", Converter.LastError().c_str());
    return ExitFailed;
  }
  if (!GatherSources()) return ExitUsage;

  // One file of an audio format keeps one processor busy; a video file's codecs use them all.
  const int ThreadsPerFile = Args.Format->AudioOnly ? 1 : Processors();
  Jobs = Args.Jobs > 0 ? Args.Jobs : std::max(1, Processors() / ThreadsPerFile);
  CodecThreads = Jobs == 1 ? 0 : std::max(1, Processors() / Jobs);
  if (!Args.SameFolder)
    Folder = Args.FolderGiven ? Args.Folder : TAppSettings(ProgramFolder()).Read().Output;
  FixedNames = !Args.NameTemplate.empty() || Args.MirrorTree || Args.SkipExisting;
  NameRule.Template = (Args.MirrorTree ? "{dir}/" : "") +
                      (Args.NameTemplate.empty() ? DefaultNameTemplate : Args.NameTemplate);
  NameRule.Base = Args.Base;
  NameRule.Label = FormatLabel(Args.Format->Text);
  NameRule.Extension = FormatExtension(Args.Format->Text);

  Convert();
  return Report();
}

bool TBatch::GatherSources() {
  auto Add = [this](const std::string& AName) {
    std::error_code Ignored;
    if (!Args.Recursive || !fs::is_directory(fs::path(AName), Ignored)) {
      Files.emplace_back().Source = AName;
      return true;
    }
    std::vector<std::string> Found;
    std::string Error;
    if (!WalkFolder(AName, Found, Error)) {
      std::fprintf(stderr, "pelorix-convert: %s\n", Error.c_str());
      return false;
    }
    for (std::string& Name : Found) {
      TFile& File = Files.emplace_back();
      File.Source = std::move(Name);
      File.Walked = true;
    }
    return true;
  };
  for (const TSourceArgument& Source : Args.Sources) {
    if (!Source.List) {
      if (!Add(Source.Name)) return false;
      continue;
    }
    std::vector<std::string> Names;
    std::string Error;
    if (!ReadSourceList(Source.Name, Args.NullSeparated, Names, Error)) {
      std::fprintf(stderr, "pelorix-convert: %s\n", Error.c_str());
      return false;
    }
    for (const std::string& Name : Names)
      if (!Add(Name)) return false;
  }
  return true;
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
  RunStart = TClock::now();
  const auto TimeUp = [&] {
    return Args.MaxMinutes > 0 &&
           std::chrono::duration<double>(TClock::now() - RunStart).count() >= Args.MaxMinutes * 60;
  };
  bool StopAsked = false;
  while (true) {
    if (Signals.StopRequested() && !StopAsked) {
      StopAsked = true;
      Feeding = false;
      Stopped = true;
      Converter.Stop(); // running files end cleanly; the rest do not start
    }
    if (Feeding && TimeUp()) Feeding = false; // the running files finish
    if (Feeding) Feed([&] { return Signals.StopRequested() || TimeUp(); });
    // A file handed over just after a run's end waits for the next run.
    if (Out > 0 && !RunActive) {
      RunActive = true;
      Converter.Start(Jobs);
    }
    if (Out == 0 && !RunActive) break;
    for (const TRunEvent& Event : Events.Take(std::chrono::milliseconds(200))) Apply(Event);
    if (Progress) Draw(RunStart);
  }
  // Files are left only when a stop or the time limit came.
  Stopped = Stopped || NextFile < Files.size();
  if (Progress) Draw(RunStart);
  // The progress block gives way to the results.
  if (Interactive && DrawnLines > 0) std::printf("\033[%dF\033[J", DrawnLines);
  Converter.SetOnProgress(nullptr);
  Converter.SetOnTerminate(nullptr);
  Converter.ClearTasks();
}

void TBatch::Feed(const std::function<bool()>& AStopNow) {
  while (Out < Jobs && NextFile < Files.size() && !AStopNow())
    if (AddFile(NextFile++)) ++Out;
}

bool TBatch::AddFile(size_t AIndex) {
  TFile& File = Files[AIndex];
  File.Began = TClock::now();
  const auto EndNow = [&](const TTaskResult& AResult) {
    File.Result = AResult;
    Ended(AIndex);
    return false;
  };
  // A named source is checked before it is opened; a walked one must be a media file first,
  // or a photo beside a clip of its name would take the clip's output name.
  if (FixedNames) {
    std::string Error;
    if (!TemplateOutputName(NameRule, File.Source, Folder, File.Output, Error))
      return EndNow({TTaskOutcome::toFailed, Error});
    if (!File.Walked) {
      if (const std::string Clash = NameClash(File.Output); !Clash.empty()) {
        File.Output.clear(); // the other file's
        return EndNow({TTaskOutcome::toFailed, Clash});
      }
      if (AlreadyThere(AIndex)) return EndNow(SkippedResult(ExistsReason(File.Output)));
    }
  }

  TInputOptions Input;
  InitInputOptions(Input);
  if (Args.Realtime) Input.ExtOptions = "re=1";
  const int Task = Converter.AddTask(File.Source, &Input);
  if (Task < 0) {
    if (File.Walked) {
      File.LeftOut = true;
      return false;
    }
    return EndNow(SkippedResult("not a media file"));
  }
  TaskFiles.push_back(AIndex);
  const auto Withdraw = [&] {
    Converter.RemoveTask(Task); // the last task, never configured: no other index moves
    TaskFiles.pop_back();
  };
  if (File.Walked && !IsMediaFile(Converter.Tasks(Task).Source)) {
    Withdraw();
    File.LeftOut = true;
    return false;
  }
  if (File.Walked && FixedNames) {
    if (const std::string Clash = NameClash(File.Output); !Clash.empty()) {
      Withdraw();
      File.Output.clear(); // the other file's
      return EndNow({TTaskOutcome::toFailed, Clash});
    }
    if (AlreadyThere(AIndex)) {
      Withdraw();
      return EndNow(SkippedResult(ExistsReason(File.Output)));
    }
  }
  if (FixedNames) NamesTaken.emplace(NameKey(File.Output), AIndex);
  // Until it has converted, the file counts as cut short, whatever ends the run.
  if (Args.SkipExisting && WritePartialRecord(File.Output, TPartialState::psConverting))
    File.Record = File.Output;
  if (!SetOutput(AIndex, Task)) {
    Withdraw();
    File.Output.clear();
    return EndNow({TTaskOutcome::toFailed, Converter.LastError()});
  }
  return true;
}

std::string TBatch::NameClash(const std::string& AOutput) const {
  const auto Taken = NamesTaken.find(NameKey(AOutput));
  if (Taken == NamesTaken.end()) return "";
  return "its output name is also " + Files[Taken->second].Source +
         "'s; --name-template can tell them apart";
}

bool TBatch::AlreadyThere(size_t AIndex) {
  TFile& File = Files[AIndex];
  if (!Args.SkipExisting || !Exists(File.Output)) return false;
  NamesTaken.emplace(NameKey(File.Output), AIndex);
  const TPartialState State = ReadPartialRecord(File.Output);
  // What a killed run left is no output; one cut short stays unless asked for again. Either
  // way the name holds nothing that passes for whole until the file is converted anew.
  if (State == TPartialState::psConverting ||
      (State == TPartialState::psStopped && Args.RedoStopped)) {
    std::error_code Ignored;
    fs::remove(fs::path(File.Output), Ignored);
    return false;
  }
  File.AlreadyDone = true;
  // What killed runs left in the folder goes, even when nothing more is written there.
  const std::string Folder = fs::path(File.Output).parent_path().string();
  if (SweptFolders.insert(Folder).second) SweepAbandonedOutputs(Folder.empty() ? "." : Folder);
  return true;
}

bool TBatch::SetOutput(size_t AIndex, int ATask) {
  TFile& File = Files[AIndex];
  const auto NoteCopied = [&File](const TTaskOutput& ABuilt) {
    File.Copied = ABuilt.VideoCopied && ABuilt.AudioCopied ? "video and audio"
                  : ABuilt.VideoCopied                     ? "video"
                  : ABuilt.AudioCopied                     ? "audio"
                                                           : "";
  };
  if (!FixedNames) {
    TTaskOutput Built;
    if (!SetFormatOutput(Converter, ATask, *Args.Format, Args.SameFolder, Folder, CodecThreads,
                         &File.Output, Args.Choice, &Built))
      return false;
    NoteCopied(Built);
    return true;
  }
  const TTaskView View = Converter.Tasks(ATask);
  TTaskOutput Output = BuildTaskOutput(*Args.Format, View.SourcePath, SourceFactsOf(View.Source),
                                       Args.SameFolder, Folder, CodecThreads, Args.Choice);
  File.Output = FreeName(File.Output);
  std::error_code Ignored; // a folder that cannot be made fails the output's opening
  fs::create_directories(fs::path(File.Output).parent_path(), Ignored);
  if (!Converter.SetTaskOutput(ATask, File.Output, &Output.Options)) return false;
  NoteCopied(Output);
  return true;
}

void TBatch::Apply(const TRunEvent& AEvent) {
  if (AEvent.Index < 0) {
    if (AEvent.End) RunActive = false;
    return;
  }
  if (static_cast<size_t>(AEvent.Index) >= TaskFiles.size()) return;
  const size_t Index = TaskFiles[static_cast<size_t>(AEvent.Index)];
  TFile& File = Files[Index];
  if (AEvent.End) {
    if (File.Running) EndedFiles.push_back(Index);
    File.Running = false;
    File.Result = AEvent.Result;
    // The name the output got: another program may have taken the one it was given.
    const std::string Output = Converter.Tasks(AEvent.Index).OutputPath;
    if (!Output.empty()) File.Output = Output;
    --Out;
    Ended(Index);
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

void TBatch::Ended(size_t AIndex) {
  TFile& File = Files[AIndex];
  File.Seconds = std::chrono::duration<double>(TClock::now() - File.Began).count();
  const TTaskOutcome Outcome = File.Result.Outcome;
  // A file cut short keeps its record (a later --skip-existing run must know); every other end
  // leaves either a whole output or none.
  const bool CutShort = Outcome == TTaskOutcome::toStopped || Outcome == TTaskOutcome::toIncomplete;
  if (CutShort) WritePartialRecord(File.Output, TPartialState::psStopped);
  if (!File.Record.empty() && (!CutShort || File.Record != File.Output))
    RemovePartialRecord(File.Record);
  if (Outcome == TTaskOutcome::toConverted) RemovePartialRecord(File.Output);
  if (!Args.Json) return;
  TFileRecord Record;
  Record.Source = File.Source;
  Record.Output = File.Result.Outcome == TTaskOutcome::toFailed ? "" : File.Output;
  Record.Result = File.Result;
  Record.Seconds = File.Seconds;
  Record.InputBytes = FileBytes(File.Source);
  Record.OutputBytes = FileBytes(Record.Output);
  if (!File.AlreadyDone) {
    // The output's streams, each either taken unchanged from the source or encoded anew.
    for (std::string& Kind : StreamKinds(Converter.Probe(), Record.Output)) {
      const bool Copied = File.Copied.find(Kind) != std::string::npos;
      (Copied ? Record.Copied : Record.Encoded).push_back(std::move(Kind));
    }
  }
  std::printf("%s\n", FileJsonLine(Record).c_str());
  std::fflush(stdout);
}

// On a terminal, the block of lines is redrawn in place; elsewhere one line says when each
// file starts and one when it ends.
void TBatch::Draw(TClock::time_point ARunStart) {
  const auto Now = TClock::now();
  if (!Interactive) {
    for (; Announced < Started.size(); ++Announced)
      std::printf("converting %s\n", Files[Started[Announced]].Source.c_str());
    for (; AnnouncedEnds < EndedFiles.size(); ++AnnouncedEnds)
      std::printf("ended %s\n", Files[EndedFiles[AnnouncedEnds]].Source.c_str());
    std::fflush(stdout);
    return;
  }
  std::string Block;
  if (DrawnLines > 0) Block += "\033[" + std::to_string(DrawnLines) + "F";
  int Lines = 0, EndedCount = 0, Count = 0;
  int64_t Done = 0, Total = 0;
  for (const TFile& F : Files) {
    if (F.LeftOut) continue;
    ++Count;
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
  Block += TotalProgressLine(EndedCount, Count, Done, Total,
                             std::chrono::duration<double>(Now - ARunStart).count()) +
           "\033[K\n";
  ++Lines;
  for (int Extra = Lines; Extra < DrawnLines; ++Extra) Block += "\033[K\n";
  DrawnLines = std::max(Lines, DrawnLines);
  std::fputs(Block.c_str(), stdout);
  std::fflush(stdout);
}

int TBatch::Report() {
  TBatchTotals Totals;
  bool AllDone = true;
  for (size_t I = 0; I < Files.size(); ++I) {
    TFile& File = Files[I];
    if (File.LeftOut) continue;
    // A failed file left nothing behind: the converter removed what it had written. An
    // incomplete one is a failure too, kept only when asked for.
    if (File.Result.Outcome == TTaskOutcome::toIncomplete && !Args.KeepPartial &&
        !File.Output.empty()) {
      std::error_code Ignored;
      fs::remove(fs::u8path(File.Output), Ignored);
      File.Output.clear();
    }
    ++Totals.Files;
    switch (File.Result.Outcome) {
    case TTaskOutcome::toConverted:
      ++Totals.Converted;
      break;
    case TTaskOutcome::toFailed:
      ++Totals.Failed;
      break;
    case TTaskOutcome::toStopped:
      ++Totals.Stopped;
      break;
    case TTaskOutcome::toSkipped:
      ++Totals.Skipped;
      break;
    case TTaskOutcome::toIncomplete:
      ++Totals.Incomplete;
      break;
    case TTaskOutcome::toNotStarted:
    case TTaskOutcome::toNone:
      ++Totals.NotStarted;
      // A file never handed over has had no line yet.
      if (Args.Json && I >= NextFile) {
        TFileRecord Record;
        Record.Source = File.Source;
        Record.InputBytes = FileBytes(File.Source);
        std::printf("%s\n", FileJsonLine(Record).c_str());
      }
      break;
    }
    const TTaskOutcome Outcome = File.Result.Outcome;
    if (Outcome == TTaskOutcome::toConverted || Outcome == TTaskOutcome::toStopped ||
        Outcome == TTaskOutcome::toIncomplete) {
      Totals.InputBytes += std::max<int64_t>(FileBytes(File.Source), 0);
      Totals.OutputBytes += std::max<int64_t>(FileBytes(File.Output), 0);
    }
    AllDone = AllDone && (File.Result.Outcome == TTaskOutcome::toConverted || File.AlreadyDone);
    if (!Args.Json)
      std::printf("%s\n", ResultLine(File.Source, File.Output, File.Result, File.Copied).c_str());
  }
  Totals.ExitStatus = Stopped ? ExitStopped : AllDone ? ExitConverted : ExitFailed;
  Totals.Seconds = std::chrono::duration<double>(TClock::now() - RunStart).count();
  if (Args.Json) std::printf("%s\n", SummaryJsonLine(Totals).c_str());
  std::fflush(stdout);
  return Totals.ExitStatus;
}

} // namespace pelorix
