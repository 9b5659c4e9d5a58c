#include "FileIdentity.h"

#include <sys/stat.h>

#include <filesystem>

namespace pelorix {

std::optional<std::string> LocalFilePath(const std::string& AName) {
  const size_t Colon = AName.find(':');
  if (Colon == std::string::npos || AName.find('/') < Colon) return AName;
  if (AName.compare(0, Colon, "file") == 0) return AName.substr(Colon + 1);
  return std::nullopt;
}

bool SameLocalFile(const std::string& AFirst, const std::string& ASecond) {
  const std::optional<std::string> First = LocalFilePath(AFirst);
  const std::optional<std::string> Second = LocalFilePath(ASecond);
  if (!First || !Second || First->empty() || Second->empty()) return false;
  struct stat FirstInfo {
  }, SecondInfo{};
  const bool FirstExists = ::stat(First->c_str(), &FirstInfo) == 0;
  const bool SecondExists = ::stat(Second->c_str(), &SecondInfo) == 0;
  if (FirstExists && SecondExists)
    return FirstInfo.st_dev == SecondInfo.st_dev && FirstInfo.st_ino == SecondInfo.st_ino;
  if (FirstExists != SecondExists) return false;
  std::error_code FirstError, SecondError;
  const std::filesystem::path FirstPath = std::filesystem::weakly_canonical(*First, FirstError);
  const std::filesystem::path SecondPath = std::filesystem::weakly_canonical(*Second, SecondError);
  return !FirstError && !SecondError && FirstPath == SecondPath;
}

} // namespace pelorix
