// The settings both front ends share: the file "conf.ini", section "Main", its keys with their
// types and defaults, where the file lies, reading and writing. No toolkit: the window and the
// batch command line link it alike, and the file stays the one the window's toolkit wrote.
//
// Where: beside the program when it can be written there (it exists and may be written, or
// it does not exist and the program's folder takes new files); otherwise the user's
// configuration folder's "pelorix/conf.ini", so that a program installed where its user may
// not write still remembers its settings. Reading and writing use the same file; until that
// user file exists, a read-only file beside the program gives the values.
//
// Threads: one object on one thread at a time.
#pragma once

#include <string>

namespace pelorix {

// "orvaneVideo" in the user's home folder: the output folder when none is stored.
std::string DefaultOutputFolder();

// Every key: its value's type, its field in TSettingsValues, its name in the file and its
// default. A key is one line here. Texts are UTF-8; truth values are written 1 and 0 and read
// as integers, any other number being true and anything else false.
#define PELORIX_SETTINGS_KEYS(X) \
  X(std::string, Output, "strOutput", DefaultOutputFolder()) \
  X(bool, SameFolder, "booSameFolder", false) \
  X(std::string, Format, "strFormat", "") \
  X(std::string, OpenFolder, "strOpenFolder", "") \
  X(std::string, Quality, "strQuality", "balanced") \
  X(bool, CopyFitting, "booCopyFitting", true)

struct TSettingsValues {
#define PELORIX_SETTINGS_FIELD(AType, AName, AKey, ADefault) AType AName = ADefault;
  PELORIX_SETTINGS_KEYS(PELORIX_SETTINGS_FIELD)
#undef PELORIX_SETTINGS_FIELD
};

class TAppSettings {
public:
  // AProgramFolder ends with a separator.
  explicit TAppSettings(const std::string& AProgramFolder);

  // The file read and written (see the header comment).
  const std::string& FilePath() const { return Path; }

  // Missing file, section or key give the defaults; so does an empty output folder.
  TSettingsValues Read() const;

  // Writes every key into the file, keeping its other lines. When the file cannot be written
  // after all, the user's configuration folder's file takes the settings and is the file from
  // then on; false when that fails too, AFailedPath then naming it.
  bool Write(const TSettingsValues& AValues, std::string& AFailedPath);

private:
  std::string Path;
  std::string BesidePath;
  std::string UserPath;
};

} // namespace pelorix
