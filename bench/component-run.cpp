// component-run THREADS LIBRARY_FOLDER OUTPUT_FOLDER FILE...
//
// Converts every FILE to the app's main format (AVI, MPEG-4 Part 2 through libxvid at
// 1500000 bit/s, MP3 through libmp3lame) with one converter run of Start (THREADS). Exit 0 when
// every task finished without an error and the run ended once, 1 otherwise, 2 when the run
// could not be set up.
#include "VexoConverter.h"

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

int main(int argc, char** argv) {
  using namespace pelorix;
  if (argc < 5) {
    std::fprintf(stderr, "usage: component-run THREADS LIBRARY_FOLDER OUTPUT_FOLDER FILE...\n");
    return 2;
  }
  const int Threads = std::stoi(argv[1]);
  const std::filesystem::path Out = argv[3];
  std::filesystem::create_directories(Out);

  std::mutex Lock;
  std::condition_variable Changed;
  int Ended = 0, Failed = 0, Finals = 0;
  TVexoConverter Converter;
  if (!Converter.LoadLibraries(argv[2], true)) {
    std::fprintf(stderr, "%s\n", Converter.LastError().c_str());
    return 2;
  }
  Converter.SetOnTerminate([&](int AIndex, const TTaskResult& AResult) {
    std::lock_guard Guard(Lock);
    if (AIndex < 0) {
      ++Finals;
    } else {
      ++Ended;
      if (AResult.Outcome != TTaskOutcome::toConverted) {
        ++Failed;
        std::fprintf(stderr, "task %d: %s\n", AIndex, AResult.Reason.c_str());
      }
    }
    Changed.notify_all();
  });
  for (int I = 4; I < argc; ++I) {
    const int Index = Converter.AddTask(argv[I]);
    TOutputOptions Options;
    Options.VideoCodec = "libxvid";
    Options.VideoBitrate = 1500000;
    Options.AudioCodec = "libmp3lame";
    const std::string Name = (Out / ("run" + std::to_string(I - 4) + ".avi")).string();
    if (Index < 0 || !Converter.SetTaskOutput(Index, Name, &Options)) {
      std::fprintf(stderr, "%s: %s\n", argv[I], Converter.LastError().c_str());
      return 2;
    }
  }
  Converter.Start(Threads);
  std::unique_lock Guard(Lock);
  Changed.wait(Guard, [&] { return Finals > 0; });
  std::printf("%d tasks ended, %d failed, %d final events\n", Ended, Failed, Finals);
  return Ended == argc - 4 && Failed == 0 && Finals == 1 ? 0 : 1;
}
