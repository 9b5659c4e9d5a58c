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

// The one large file `make-test-media --bench` writes, for timing stream copies. It is not part
// of MediaFiles(): the tests never read it.
const TMediaFile& BenchFile();

} // namespace pelorix::testmedia
