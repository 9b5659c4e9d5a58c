// One run of the batch command line: adds every file to the converter, sets its output, runs
// them, draws the progress and prints the results.
//
// Threads: the main thread owns the converter, keeps every file's state, draws the progress and
// polls the stop signals; the converter's events arrive on its worker threads and are only
// queued for the main thread (RunEvents.h), which never holds a lock when it calls the
// converter.
#pragma once

#include "ConvertArguments.h"
#include "RunEvents.h"
#include "VexoConverter.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace pelorix {

class TBatch {
public:
  explicit TBatch(const TArguments& AArgs); // AArgs outlives the batch
  // The whole run; returns the exit status. Main thread, once.
  int Run();

private:
  struct TFile {
    std::string Source;
    std::string Output;
    std::string Copied; // "video", "audio", "video and audio": the streams taken unchanged
    TTaskResult Result; // toNone while it waits or runs
    bool Running = false; // reported progress and has not ended
    int64_t DoneMs = 0, TotalMs = 0;
    // Its first report: the speed is measured from there.
    int64_t FirstDoneMs = 0;
    std::chrono::steady_clock::time_point FirstReport;
  };

  void AddTasks();
  void SetOutputs();
  void Convert();
  void Apply(const TRunEvent& AEvent);
  void Draw(std::chrono::steady_clock::time_point ARunStart);
  int Report();

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

} // namespace pelorix
