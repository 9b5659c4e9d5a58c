#include "SourceList.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

void AddEntry(std::string& AEntry, bool ANullSeparated, std::vector<std::string>& ASources) {
  if (!ANullSeparated && !AEntry.empty() && AEntry.back() == '\r') AEntry.pop_back();
  if (!AEntry.empty()) ASources.push_back(AEntry);
  AEntry.clear();
}

// The entries of one folder, sorted; false when it cannot be listed.
bool SortedEntries(const fs::path& AFolder, std::vector<fs::directory_entry>& AEntries,
                   std::error_code& AError) {
  fs::directory_iterator It(AFolder, AError);
  if (AError) return false;
  for (; It != fs::directory_iterator(); It.increment(AError)) {
    if (AError) return false;
    AEntries.push_back(*It);
  }
  std::sort(AEntries.begin(), AEntries.end(),
            [](const fs::directory_entry& A, const fs::directory_entry& B) {
              return A.path().filename().native() < B.path().filename().native();
            });
  return true;
}

// False with AError when AFolder itself cannot be listed.
bool Walk(const fs::path& AFolder, std::vector<std::string>& AFiles, std::error_code& AError) {
  std::vector<fs::directory_entry> Entries;
  if (!SortedEntries(AFolder, Entries, AError)) return false;
  for (const fs::directory_entry& Entry : Entries) {
    std::error_code Ignored;
    if (Entry.is_symlink(Ignored)) {
      if (fs::is_regular_file(Entry.path(), Ignored)) AFiles.push_back(Entry.path().string());
    } else if (Entry.is_directory(Ignored)) {
      std::error_code Unreadable; // passed over
      Walk(Entry.path(), AFiles, Unreadable);
    } else if (Entry.is_regular_file(Ignored)) {
      AFiles.push_back(Entry.path().string());
    }
  }
  return true;
}

} // namespace

bool ReadSourceList(const std::string& AListName, bool ANullSeparated,
                    std::vector<std::string>& ASources, std::string& AError) {
  const bool FromInput = AListName == "-";
  FILE* List = FromInput ? stdin : std::fopen(AListName.c_str(), "rb");
  if (!List) {
    AError = "cannot read " + AListName + ": " + std::strerror(errno);
    return false;
  }
  const char Separator = ANullSeparated ? '\0' : '\n';
  std::string Entry;
  int C;
  while ((C = std::fgetc(List)) != EOF) {
    if (static_cast<char>(C) == Separator)
      AddEntry(Entry, ANullSeparated, ASources);
    else
      Entry += static_cast<char>(C);
  }
  const bool Failed = std::ferror(List);
  const int ReadError = errno;
  AddEntry(Entry, ANullSeparated, ASources); // a last entry without its separator
  if (!FromInput) std::fclose(List);
  if (Failed) {
    AError = "cannot read " + AListName + ": " + std::strerror(ReadError);
    return false;
  }
  return true;
}

bool WalkFolder(const std::string& AFolder, std::vector<std::string>& AFiles, std::string& AError) {
  std::error_code Error;
  if (Walk(AFolder, AFiles, Error)) return true;
  AError = "cannot read the folder " + AFolder + ": " + Error.message();
  return false;
}

} // namespace pelorix
