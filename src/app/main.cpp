// Pelorix start-up until the window exists: load the media libraries from the library folder
// beside the program and report whether they are usable.
#include "MediaLibraries.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

std::string ProgramFolder() {
  char Path[4096];
  const ssize_t Length = ::readlink("/proc/self/exe", Path, sizeof(Path) - 1);
  if (Length <= 0) return ".";
  std::string Text(Path, static_cast<size_t>(Length));
  return Text.substr(0, Text.rfind('/'));
}

} // namespace

int main() {
  const std::string Folder = ProgramFolder() + "/lib";
  if (!pelorix::LoadMediaLibraries(Folder, true)) {
    std::fprintf(stderr, "Error: Lib cannot be loaded.\n%s\n",
                 pelorix::MediaLibrariesError().c_str());
    return 1;
  }
  std::printf("Pelorix: media libraries loaded from %s\n", Folder.c_str());
  return 0;
}
