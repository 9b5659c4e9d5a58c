#include "ConvertArguments.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace pelorix {
namespace {

const char* const UsageText =
    "usage: pelorix-convert [-f FORMAT] [-o FOLDER | --same-folder] [-j JOBS] [-q] FILE...\n"
    "       pelorix-convert --list-formats\n"
    "\n"
    "  -f FORMAT       output format: a label or extension of --list-formats (default: the first)\n"
    "  -o FOLDER       output folder (default: the window's, else ~/orvaneVideo)\n"
    "  --same-folder   write every output beside its source\n"
    "  -j JOBS         files converted at once (default 1)\n"
    "  --quality LEVEL smaller, balanced or better (default balanced)\n"
    "  --no-copy       encode every stream again, even one that already fits the format\n"
    "  -q              print only the results\n"
    "  --realtime      read the sources no faster than they play\n"
    "  --keep-partial  keep an incomplete output (it holds less than the source) under its name\n"
    "\n"
    "Exit status: 0 all converted, 1 some failed, were incomplete or were skipped, 2 usage,\n"
    "3 stopped (Ctrl-C).\n";

bool ParseJobs(const std::string& AText, int& AJobs) {
  if (AText.empty() || AText.size() > 3 ||
      !std::all_of(AText.begin(), AText.end(), [](char C) { return C >= '0' && C <= '9'; }))
    return false;
  AJobs = std::stoi(AText);
  return AJobs >= 1;
}

} // namespace

int UsageError(const std::string& AText) {
  std::fprintf(stderr, "pelorix-convert: %s\n%s", AText.c_str(), UsageText);
  return ExitUsage;
}

int ParseArguments(int AArgc, char** AArgv, TArguments& AArgs) {
  std::string FormatName;
  bool OptionsEnded = false;
  for (int I = 1; I < AArgc; ++I) {
    const std::string Arg = AArgv[I];
    auto Value = [&](std::string& AValue) {
      if (I + 1 >= AArgc) return false;
      AValue = AArgv[++I];
      return true;
    };
    if (OptionsEnded || Arg.empty() || Arg[0] != '-' || Arg == "-") {
      AArgs.Files.push_back(Arg);
    } else if (Arg == "--") {
      OptionsEnded = true;
    } else if (Arg == "-h" || Arg == "--help") {
      std::fputs(UsageText, stdout);
      return ExitConverted;
    } else if (Arg == "-f") {
      if (!Value(FormatName)) return UsageError("-f needs a format");
    } else if (Arg == "-o") {
      if (!Value(AArgs.Folder) || AArgs.Folder.empty()) return UsageError("-o needs a folder");
      AArgs.FolderGiven = true;
    } else if (Arg == "--same-folder") {
      AArgs.SameFolder = true;
    } else if (Arg == "-j") {
      std::string Jobs;
      if (!Value(Jobs) || !ParseJobs(Jobs, AArgs.Jobs))
        return UsageError("-j needs a number of files from 1 to 999");
    } else if (Arg == "-q") {
      AArgs.Quiet = true;
    } else if (Arg == "--quality") {
      std::string Level;
      const auto Named = Value(Level) ? QualityLevelNamed(Level) : std::nullopt;
      if (!Named) return UsageError("--quality needs smaller, balanced or better");
      AArgs.Choice.Level = *Named;
    } else if (Arg == "--no-copy") {
      AArgs.Choice.CopyFitting = false;
    } else if (Arg == "--realtime") {
      AArgs.Realtime = true;
    } else if (Arg == "--keep-partial") {
      AArgs.KeepPartial = true;
    } else if (Arg == "--list-formats") {
      AArgs.ListFormats = true;
    } else {
      return UsageError("unknown option " + Arg);
    }
  }
  if (AArgs.FolderGiven && AArgs.SameFolder)
    return UsageError("-o and --same-folder exclude each other");
  AArgs.Format = FormatName.empty() ? &OutputFormats().front() : FindOutputFormat(FormatName);
  if (!AArgs.Format)
    return UsageError("unknown format \"" + FormatName + "\" (see --list-formats)");
  if (!AArgs.ListFormats && AArgs.Files.empty()) return UsageError("no file given");
  return -1;
}

} // namespace pelorix
