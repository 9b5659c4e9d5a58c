// output-check LIBRARY_FOLDER MEDIA_DIR OUTPUT_FOLDER [RUNS]
//
// What the check a front end makes before it calls a file converted (OutputCheck) costs: each
// 2-s test clip is converted once into each of AVI (MPEG-4 + MP3), Matroska (MPEG-4 + MP2),
// MP4 (MPEG-4 + AAC), WAV and MP3, and the check of that output against the run's spans is
// timed RUNS times (default 9). Prints one row per format: the output's size and the median,
// least and largest milliseconds of a check. Exit 0 when every check passed, 1 when one found
// the output incomplete, 2 when a conversion could not run.
#include "FFmpeg.h"
#include "MediaLibraries.h"
#include "OutputCheck.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace pelorix;
namespace fs = std::filesystem;

struct TFormat {
  const char* Name;
  const char* Clip;
  const char* Extension;
  const char* VideoCodec; // nullptr: sound only
  const char* AudioCodec;
};

const TFormat Formats[] = {
    {"AVI", "mpeg4_mp3.avi", "avi", "mpeg4", "libmp3lame"},
    {"Matroska", "mpeg4_mp3.avi", "mkv", "mpeg4", "mp2"},
    {"MP4", "mpeg4_mp3.avi", "mp4", "mpeg4", "aac"},
    {"WAV", "tone.wav", "wav", nullptr, "pcm_s16le"},
    {"MP3", "tone.wav", "mp3", nullptr, "libmp3lame"},
};

} // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: output-check LIBRARY_FOLDER MEDIA_DIR OUTPUT_FOLDER [RUNS]\n");
    return 2;
  }
  const fs::path Media = argv[2], Out = argv[3];
  const int Runs = argc > 4 ? std::max(1, std::stoi(argv[4])) : 9;
  if (!LoadMediaLibraries(argv[1], true)) {
    std::fprintf(stderr, "output-check: %s\n", MediaLibrariesError().c_str());
    return 2;
  }
  SetMediaLogLevel(-1); // the files' descriptions would bury the rows
  fs::create_directories(Out);
  std::printf("%-10s %10s %10s %8s %8s\n", "format", "output KB", "median ms", "min ms", "max ms");
  int Status = 0;
  for (const TFormat& Format : Formats) {
    const std::string Source = (Media / Format.Clip).string();
    const std::string Output = (Out / (std::string("check.") + Format.Extension)).string();
    TCustomFFmpeg Engine;
    Engine.Reset();
    Engine.SetLogCallback([](TCustomFFmpeg&, int, const std::string&) {}); // no banner
    Engine.SetOption("y", "");
    if (!Engine.OpenInputFile(Source)) {
      std::fprintf(stderr, "output-check: %s\n", Engine.LastErrorText().c_str());
      return 2;
    }
    TOutputSetting Setting;
    Setting.Source.AudioStreamCount = 1;
    Setting.Source.VideoStreamCount = Format.VideoCodec ? 1 : 0;
    if (Format.VideoCodec)
      Engine.SetOption("vcodec", Format.VideoCodec);
    else
      Engine.SetOption("vn", "");
    Engine.SetOption("acodec", Format.AudioCodec);
    if (!Engine.OpenOutputFile(Output)) {
      std::fprintf(stderr, "output-check: %s\n", Engine.LastErrorText().c_str());
      return 2;
    }
    Engine.Start(false, TConvertPriority::tpNormal);
    if (Engine.ErrorOccurred() || !Engine.Finished()) {
      std::fprintf(stderr, "output-check: %s: %s\n", Format.Name, Engine.ErrorMessage().c_str());
      return 2;
    }
    std::vector<double> Milliseconds;
    std::string Shortfall;
    for (int Run = 0; Run < Runs; ++Run) {
      const auto Start = std::chrono::steady_clock::now();
      Shortfall = RunOutputShortfall(Output, Setting, Engine.RunSpans());
      Milliseconds.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start)
              .count());
    }
    std::sort(Milliseconds.begin(), Milliseconds.end());
    std::printf("%-10s %10.1f %10.2f %8.2f %8.2f\n", Format.Name,
                static_cast<double>(fs::file_size(Output)) / 1000,
                Milliseconds[Milliseconds.size() / 2], Milliseconds.front(), Milliseconds.back());
    if (!Shortfall.empty()) {
      std::printf("  %s: %s\n", Format.Name, Shortfall.c_str());
      Status = 1;
    }
    fs::remove(Output);
  }
  return Status;
}
