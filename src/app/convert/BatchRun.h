// One run of the batch command line: gathers the sources, hands them to the converter a few at
// a time (never more than the run converts at once, so that a stop or a time limit starts
// nothing more and a source is looked at only when its turn comes), names the outputs, draws
// the progress and tells the results, as text or JSON lines.
//
// Threads: the main thread owns the converter, keeps every file's state, draws the progress and
// polls the stop signals; the converter's events arrive on its worker threads and are only
// queued for the main thread (RunEvents.h), which never holds a lock when it calls the
// converter.
#pragma once

#include "ConvertArguments.h"
#include "OutputNaming.h"
#include "RunEvents.h"
#include "VexoConverter.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace pelorix {

class TBatch {
public:
  explicit TBatch(const TArguments& AArgs); // AArgs outlives the batch
  // The whole run; returns the exit status. Main thread, once.
  int Run();

private:
  using TClock = std::chrono::steady_clock;

  struct TFile {
    std::string Source;
    bool Walked = false; // found in a folder: left out unless it is a media file
    bool LeftOut = false; // walked and no media file: not reported
    std::string Output;
    std::string Copied; // "video", "audio", "video and audio": the streams taken unchanged
    TTaskResult Result; // toNone while it waits or runs
    bool AlreadyDone = false; // skipped, its output is there
    std::string Record; // the output whose partial record this run wrote before it started
    bool Running = false; // reported progress and has not ended
    int64_t DoneMs = 0, TotalMs = 0;
    // Its first report: the speed is measured from there.
    int64_t FirstDoneMs = 0;
    TClock::time_point FirstReport;
    TClock::time_point Began; // handed to the converter
    double Seconds = 0; // from then to its end
  };

  // The files of the FILE arguments, list files and walked folders, in that order; false
  // (told on standard error) when a list or folder cannot be read.
  bool GatherSources();
  void Convert();
  // Hands files to the converter while fewer than the run's jobs are out and AStopNow says
  // nothing.
  void Feed(const std::function<bool()>& AStopNow);
  // One file to the converter; false when it ended without a task (told, or left out).
  bool AddFile(size_t AIndex);
  // Why AOutput, a fixed name, cannot be the file's: another file of the batch has it.
  std::string NameClash(const std::string& AOutput) const;
  // With --skip-existing, whether the file's fixed output is there already and is to stay: a
  // whole one stays, one cut short stays unless --redo-stopped, what a killed run left goes.
  // The name is the file's for the rest of the batch.
  bool AlreadyThere(size_t AIndex);
  // The output of the file just added as task ATask; false when it failed (told).
  bool SetOutput(size_t AIndex, int ATask);
  void Apply(const TRunEvent& AEvent);
  // A file's end: its JSON line.
  void Ended(size_t AIndex);
  void Draw(TClock::time_point ARunStart);
  int Report();

  const TArguments& Args;
  TVexoConverter Converter;
  std::vector<TFile> Files;
  std::vector<size_t> TaskFiles; // task index -> file index
  bool Interactive = false;
  bool Progress = false; // started and ended lines, or the block on a terminal
  bool Stopped = false; // a stop signal or the time limit came
  int Jobs = 1;
  int CodecThreads = 0; // each file's, 0 automatic
  std::string Folder; // the output folder, unless beside the source
  bool FixedNames = false; // named by the template, never numbered
  TNameRule NameRule;
  std::map<std::string, size_t> NamesTaken; // fixed names -> the file that has it
  std::set<std::string> SweptFolders; // output folders cleared of killed runs' leftovers

  TRunEventQueue Events;
  // The main thread's alone, from the events taken:
  size_t NextFile = 0; // the first file not handed over yet
  int Out = 0; // files handed over whose end has not come
  bool Feeding = true; // more files may start
  bool RunActive = false; // a run was started and its final event has not come
  TClock::time_point RunStart;
  std::vector<size_t> Started; // file indexes, in the order they started
  std::vector<size_t> EndedFiles; // and of those, in the order they ended
  size_t Announced = 0, AnnouncedEnds = 0;
  int DrawnLines = 0;
};

} // namespace pelorix
