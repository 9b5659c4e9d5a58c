// component-stress CLIP COUNT LIBRARY_FOLDER OUTPUT_FOLDER
//
// Adds CLIP COUNT times to one converter, runs it with one worker thread and stops it while
// the first task runs. Checks that every task reports its end exactly once, that one final
// event follows, and that the process's thread count returns to where it started. Exit 0 when
// all holds, 1 otherwise, 2 when the run could not be set up.
#include "VexoConverter.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

int ThreadCount() {
  std::ifstream Status("/proc/self/status");
  for (std::string Line; std::getline(Status, Line);)
    if (Line.rfind("Threads:", 0) == 0) return std::stoi(Line.substr(8));
  return -1;
}

} // namespace

int main(int argc, char** argv) {
  using namespace pelorix;
  if (argc != 5) {
    std::fprintf(stderr, "usage: component-stress CLIP COUNT LIBRARY_FOLDER OUTPUT_FOLDER\n");
    return 2;
  }
  const std::string Clip = argv[1];
  const int Count = std::stoi(argv[2]);
  const std::filesystem::path Out = argv[4];
  std::filesystem::create_directories(Out);
  const int ThreadsBefore = ThreadCount();

  std::mutex Lock;
  std::condition_variable Changed;
  std::multiset<int> Ends;
  int Finals = 0;
  {
    TVexoConverter Converter;
    if (!Converter.LoadLibraries(argv[3], true)) {
      std::fprintf(stderr, "%s\n", Converter.LastError().c_str());
      return 2;
    }
    Converter.SetOnProgress(
        [&](int, int, int, int, float, float, int64_t, int) { Converter.Stop(); });
    Converter.SetOnTerminate([&](int AIndex, const TTaskResult&) {
      std::lock_guard Guard(Lock);
      if (AIndex < 0)
        ++Finals;
      else
        Ends.insert(AIndex);
      Changed.notify_all();
    });
    for (int I = 0; I < Count; ++I) {
      const std::string Name = (Out / ("stress" + std::to_string(I) + ".wav")).string();
      if (Converter.AddTask(Clip) != I || !Converter.SetTaskOutput(I, Name)) {
        std::fprintf(stderr, "task %d: %s\n", I, Converter.LastError().c_str());
        return 2;
      }
    }
    const auto Started = std::chrono::steady_clock::now();
    Converter.Start(1);
    std::unique_lock Guard(Lock);
    const bool Done = Changed.wait_for(Guard, std::chrono::minutes(10), [&] { return Finals > 0; });
    const double Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
    std::printf("%d tasks: %s after %.2f s, %zu ends of %zu tasks, %d final events\n", Count,
                Done ? "final event" : "no final event", Seconds, Ends.size(),
                std::set<int>(Ends.begin(), Ends.end()).size(), Finals);
  }
  // The reporting threads let go of their tasks before they exit; give them time to go.
  int ThreadsAfter = ThreadCount();
  for (int Try = 0; Try < 100 && ThreadsAfter != ThreadsBefore; ++Try) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ThreadsAfter = ThreadCount();
  }
  std::printf("threads: %d before, %d after\n", ThreadsBefore, ThreadsAfter);
  std::filesystem::remove_all(Out);
  const bool Ok = static_cast<int>(Ends.size()) == Count &&
                  static_cast<int>(std::set<int>(Ends.begin(), Ends.end()).size()) == Count &&
                  Finals == 1 && ThreadsAfter == ThreadsBefore;
  std::printf("%s\n", Ok ? "PASS" : "FAIL");
  return Ok ? 0 : 1;
}
