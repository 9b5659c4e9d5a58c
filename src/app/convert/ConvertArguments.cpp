#include "ConvertArguments.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace pelorix {
namespace {

const char* const UsageText =
    "usage: pelorix-convert [options] FILE...\n"
    "       pelorix-convert [options] --from-file LIST [FILE...]\n"
    "       pelorix-convert --list-formats\n"
    "\n"
    "  -f FORMAT       output format: a label or extension of --list-formats (default: the first)\n"
    "  -o FOLDER       output folder (default: the window's, else ~/orvaneVideo)\n"
    "  --same-folder   write every output beside its source\n"
    "  -j JOBS         files converted at once (default 1); auto: as many as the processors take\n"
    "  --quality LEVEL smaller, balanced or better (default balanced)\n"
    "  --no-copy       encode every stream again, even one that already fits the format\n"
    "  -q              print only the results\n"
    "  --realtime      read the sources no faster than they play\n"
    "  --keep-partial  keep an incomplete output (it holds less than the source) under its name\n"
    "\n"
    "Sources:\n"
    "  --from-file LIST  read sources from LIST, one a line (- for standard input)\n"
    "  --null          names in LIST end with a NUL byte, not a line feed\n"
    "  --recursive     convert the media files in the folders given, at all levels, in name order\n"
    "\n"
    "Output names:\n"
    "  --name-template T  the output's path in the output folder, less its extension, from\n"
    "                  {name} (the source's name less its extension), {ext} (the source's\n"
    "                  extension), {label} (the format's) and {dir} (the source's folder below\n"
    "                  --base); the default is \"{name} ({label})\"\n"
    "  --base FOLDER   the folder {dir} is counted from (default: the current folder)\n"
    "  --mirror-tree   outputs in the source's folders below --base: \"{dir}/\" before the "
    "template\n"
    "\n"
    "Resuming:\n"
    "  --skip-existing  pass over a source whose output exists; names are never numbered\n"
    "  --redo-stopped  with --skip-existing, convert again what a stop cut short\n"
    "  --max-minutes N  start no file after N minutes; the running ones finish\n"
    "  --json          one JSON object per line: each file as it ends, then a summary\n"
    "\n"
    "Exit status: 0 all converted (or already there), 1 some failed, were incomplete or were\n"
    "skipped, 2 usage, 3 stopped (Ctrl-C, SIGTERM or --max-minutes).\n";

bool ParseJobs(const std::string& AText, int& AJobs) {
  if (AText == "auto") {
    AJobs = 0;
    return true;
  }
  if (AText.empty() || AText.size() > 3 ||
      !std::all_of(AText.begin(), AText.end(), [](char C) { return C >= '0' && C <= '9'; }))
    return false;
  AJobs = std::stoi(AText);
  return AJobs >= 1;
}

bool ParseMinutes(const std::string& AText, double& AMinutes) {
  char* End = nullptr;
  AMinutes = std::strtod(AText.c_str(), &End);
  return !AText.empty() && End && *End == '\0' && AMinutes > 0 && AMinutes < 1e7;
}

// A template names a path below the output folder: no absolute path, no "..", only the known
// fields.
std::string TemplateError(const std::string& ATemplate) {
  if (ATemplate.empty()) return "--name-template needs a template";
  if (ATemplate[0] == '/') return "the name template must name a path below the output folder";
  std::string Rest = ATemplate;
  for (const char* Field : {"{name}", "{ext}", "{label}", "{dir}"})
    for (size_t At; (At = Rest.find(Field)) != std::string::npos;)
      Rest.replace(At, std::strlen(Field), "x");
  if (Rest.find_first_of("{}") != std::string::npos)
    return "the name template knows only {name}, {ext}, {label} and {dir}";
  const std::string Padded = "/" + ATemplate + "/";
  if (Padded.find("/../") != std::string::npos)
    return "the name template must name a path below the output folder";
  if (ATemplate.back() == '/') return "the name template must end with a file name";
  return "";
}

} // namespace

int UsageError(const std::string& AText) {
  std::fprintf(stderr, "pelorix-convert: %s\n%s", AText.c_str(), UsageText);
  return ExitUsage;
}

int ParseArguments(int AArgc, char** AArgv, TArguments& AArgs) {
  std::string FormatName;
  bool OptionsEnded = false;
  bool TemplateGiven = false;
  for (int I = 1; I < AArgc; ++I) {
    const std::string Arg = AArgv[I];
    auto Value = [&](std::string& AValue) {
      if (I + 1 >= AArgc) return false;
      AValue = AArgv[++I];
      return true;
    };
    std::string Text;
    if (OptionsEnded || Arg.empty() || Arg[0] != '-' || Arg == "-") {
      AArgs.Sources.push_back({false, Arg});
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
      if (!Value(Text) || !ParseJobs(Text, AArgs.Jobs))
        return UsageError("-j needs a number of files from 1 to 999, or auto");
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
    } else if (Arg == "--from-file") {
      if (!Value(Text) || Text.empty()) return UsageError("--from-file needs a list file");
      AArgs.Sources.push_back({true, Text});
    } else if (Arg == "--null") {
      AArgs.NullSeparated = true;
    } else if (Arg == "--recursive") {
      AArgs.Recursive = true;
    } else if (Arg == "--json") {
      AArgs.Json = true;
    } else if (Arg == "--max-minutes") {
      if (!Value(Text) || !ParseMinutes(Text, AArgs.MaxMinutes))
        return UsageError("--max-minutes needs a number of minutes above 0");
    } else if (Arg == "--name-template") {
      if (!Value(AArgs.NameTemplate)) return UsageError("--name-template needs a template");
      if (const std::string Error = TemplateError(AArgs.NameTemplate); !Error.empty())
        return UsageError(Error);
      TemplateGiven = true;
    } else if (Arg == "--base") {
      if (!Value(AArgs.Base) || AArgs.Base.empty()) return UsageError("--base needs a folder");
    } else if (Arg == "--mirror-tree") {
      AArgs.MirrorTree = true;
    } else if (Arg == "--skip-existing") {
      AArgs.SkipExisting = true;
    } else if (Arg == "--redo-stopped") {
      AArgs.RedoStopped = true;
    } else {
      return UsageError("unknown option " + Arg);
    }
  }
  if (AArgs.FolderGiven && AArgs.SameFolder)
    return UsageError("-o and --same-folder exclude each other");
  if (AArgs.MirrorTree && AArgs.SameFolder)
    return UsageError("--mirror-tree and --same-folder exclude each other");
  if (AArgs.RedoStopped && !AArgs.SkipExisting)
    return UsageError("--redo-stopped goes with --skip-existing");
  if (AArgs.NullSeparated &&
      std::none_of(AArgs.Sources.begin(), AArgs.Sources.end(),
                   [](const TSourceArgument& ASource) { return ASource.List; }))
    return UsageError("--null goes with --from-file");
  if (std::count_if(AArgs.Sources.begin(), AArgs.Sources.end(),
                    [](const TSourceArgument& A) { return A.List && A.Name == "-"; }) > 1)
    return UsageError("standard input can be read once");
  if (!TemplateGiven) AArgs.NameTemplate.clear();
  AArgs.Format = FormatName.empty() ? &OutputFormats().front() : FindOutputFormat(FormatName);
  if (!AArgs.Format)
    return UsageError("unknown format \"" + FormatName + "\" (see --list-formats)");
  if (!AArgs.ListFormats && AArgs.Sources.empty()) return UsageError("no file given");
  return -1;
}

} // namespace pelorix
