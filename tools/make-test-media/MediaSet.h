// The set of files the tool writes, each with the one line of facts the manifest gives for it.
#pragma once

#include <filesystem>
#include <vector>

namespace pelorix::testmedia {

struct TMediaFile {
  const char* Name;
  const char* Facts;
  void (*Write)(const std::filesystem::path& APath);
};

const std::vector<TMediaFile>& MediaFiles();

// The large files `make-test-media --bench` writes, one at a time, for the benchmarks: the first
// (the default) for timing stream copies, the others named on the command line. They are not
// part of MediaFiles(): the tests never read them.
const std::vector<TMediaFile>& BenchFiles();

} // namespace pelorix::testmedia
