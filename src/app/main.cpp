// Pelorix start-up until the window exists: load the media libraries from the library folder
// beside the program and report whether they are usable.
#include "MediaLibraries.h"
#include "ProgramFolder.h"

#include <cstdio>
#include <string>

int main() {
  const std::string Folder = pelorix::ProgramFolder() + "lib";
  if (!pelorix::LoadMediaLibraries(Folder, true)) {
    std::fprintf(stderr, "Error: Lib cannot be loaded.\n%s\n",
                 pelorix::MediaLibrariesError().c_str());
    return 1;
  }
  std::printf("Pelorix: media libraries loaded from %s\n", Folder.c_str());
  return 0;
}
