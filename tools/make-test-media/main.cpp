// make-test-media FOLDER
// make-test-media --bench FOLDER [NAME]
//
// Writes the short clips the tests read (see MediaSet.cpp) and a manifest.txt describing them
// into FOLDER, creating it when missing. Each run writes the same bytes. Exits non-zero after
// naming every file it could not make; such a file is removed rather than left half written.
//
// With --bench it writes only one of the large files the benchmarks time (see BenchFiles()):
// NAME, or the first of them when no name is given. That one is written under a temporary name
// and renamed when complete, so an interrupted run never leaves a file that looks finished.

#include "MediaSet.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;
using namespace pelorix::testmedia;

namespace {

bool WriteManifest(const fs::path& AFolder) {
  std::ofstream Manifest(AFolder / "manifest.txt", std::ios::trunc);
  Manifest << "# Test media written by make-test-media: name, size in bytes, facts.\n";
  for (const TMediaFile& File : MediaFiles()) {
    std::error_code Error;
    const auto Size = fs::file_size(AFolder / File.Name, Error);
    if (Error) continue; // not made; already reported
    Manifest << File.Name << "  " << Size << "  " << File.Facts << '\n';
  }
  Manifest.close();
  return static_cast<bool>(Manifest);
}

bool MakeFolder(const fs::path& AFolder) {
  std::error_code Error;
  fs::create_directories(AFolder, Error);
  if (!Error) return true;
  std::cerr << "make-test-media: cannot create " << AFolder.string() << ": " << Error.message()
            << '\n';
  return false;
}

int WriteBenchFile(const fs::path& AFolder, std::string_view AName) {
  const auto& Files = BenchFiles();
  const auto Found = std::find_if(Files.begin(), Files.end(), [&](const TMediaFile& AFile) {
    return AName.empty() || AName == AFile.Name;
  });
  if (Found == Files.end()) {
    std::cerr << "make-test-media: no bench file is called " << AName << '\n';
    return 2;
  }
  const TMediaFile& File = *Found;
  const fs::path Path = AFolder / File.Name;
  fs::path Partial = Path;
  Partial += ".part";
  std::error_code Error;
  try {
    File.Write(Partial);
    fs::rename(Partial, Path);
  } catch (const std::exception& Failure) {
    std::cerr << "make-test-media: " << Path.string() << ": " << Failure.what() << '\n';
    fs::remove(Partial, Error);
    return 1;
  }
  std::cout << "make-test-media: wrote " << Path.string() << " (" << fs::file_size(Path, Error)
            << " bytes; " << File.Facts << ")\n";
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  const bool Bench = argc >= 2 && std::string_view(argv[1]) == "--bench";
  if (Bench ? argc != 3 && argc != 4 : argc != 2) {
    std::cerr << "usage: make-test-media FOLDER | make-test-media --bench FOLDER [NAME]\n";
    return 2;
  }
  const fs::path Folder = argv[Bench ? 2 : 1];
  if (!MakeFolder(Folder)) return 1;

  av_log_set_level(AV_LOG_WARNING);
  if (Bench) return WriteBenchFile(Folder, argc == 4 ? argv[3] : "");

  std::error_code Error;
  int Failures = 0;
  for (const TMediaFile& File : MediaFiles()) {
    const fs::path Path = Folder / File.Name;
    try {
      File.Write(Path);
    } catch (const std::exception& Failure) {
      std::cerr << "make-test-media: " << Path.string() << ": " << Failure.what() << '\n';
      if (fs::is_regular_file(Path, Error)) fs::remove(Path, Error);
      ++Failures;
    }
  }
  if (!WriteManifest(Folder)) {
    std::cerr << "make-test-media: cannot write " << (Folder / "manifest.txt").string() << '\n';
    ++Failures;
  }
  if (Failures > 0) {
    std::cerr << "make-test-media: " << Failures << " file(s) not made\n";
    return 1;
  }
  std::cout << "make-test-media: wrote " << MediaFiles().size() << " files and manifest.txt to "
            << Folder.string() << '\n';
  return 0;
}
