// The settings file: "conf.ini", section "Main", keys "strOutput" (the output folder),
// "booSameFolder" (outputs beside their sources, written 1/0) and "strFormat" (the chosen
// output format's text). It lies beside the program when
// that folder can hold it, else in the user's configuration folder, so that a program
// installed under a read-only prefix still remembers its settings. GUI thread.
#pragma once

#include <QString>

namespace pelorix {

struct TSettingsValues {
  QString Output;
  bool SameFolder = false;
  QString Format; // empty when none is stored
};

class TAppSettings {
public:
  // AAppFolder ends with a separator.
  explicit TAppSettings(const QString& AAppFolder);

  // The output folder used when none is stored: "orvaneVideo" in the user's home.
  static QString DefaultOutputFolder();

  // The file read at start-up: beside the program when it exists there or that folder is
  // writable, else the user's configuration folder's "pelorix/conf.ini".
  const QString& FilePath() const { return Path; }

  // Missing file, section or key give the defaults; "booSameFolder" is read as an integer,
  // non-zero meaning true (a text that is not a number is false).
  TSettingsValues Read() const;

  // Writes every key, creating the file. When the chosen file cannot be written the user's
  // configuration folder is tried; false when that fails too, AFailedPath then names the file.
  bool Write(const TSettingsValues& AValues, QString& AFailedPath);

private:
  static bool WriteTo(const QString& APath, const TSettingsValues& AValues);

  QString Path;
  QString FallbackPath;
};

} // namespace pelorix
