// The batch command line's arguments: what a run was asked to do, read from argv, and the exit
// statuses it ends with. Main thread.
#pragma once

#include "OutputFormats.h"

#include <string>
#include <vector>

namespace pelorix {

constexpr int ExitConverted = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitStopped = 3;

// A source as the command line names it: a file (or, with --recursive, a folder), or a list
// file of such names ("-": standard input).
struct TSourceArgument {
  bool List = false;
  std::string Name;
};

struct TArguments {
  const TOutputFormat* Format = nullptr;
  std::string Folder;
  bool FolderGiven = false;
  bool SameFolder = false;
  int Jobs = 1; // 0: as many as the processors take (-j auto)
  bool Quiet = false;
  bool Realtime = false;
  bool KeepPartial = false; // an incomplete output stays
  bool ListFormats = false;
  // The quality level; streams that already fit the format are copied unless --no-copy.
  TEncodingChoice Choice{TQualityLevel::qlBalanced, true};
  std::vector<TSourceArgument> Sources; // in the order given
  bool NullSeparated = false; // list files hold NUL-terminated names
  bool Recursive = false;
  bool Json = false;
  double MaxMinutes = 0; // > 0: no file starts after that long
  std::string NameTemplate; // empty: the window's names
  std::string Base; // the folder {dir} is relative to
  bool MirrorTree = false;
  bool SkipExisting = false;
  bool RedoStopped = false;
};

// Fills AArgs; returns -1 to go on, else the exit status (usage errors are told on standard
// error, --help on standard output).
int ParseArguments(int AArgc, char** AArgv, TArguments& AArgs);

// The line of the usage text, with the reason, on standard error; returns ExitUsage.
int UsageError(const std::string& AText);

} // namespace pelorix
