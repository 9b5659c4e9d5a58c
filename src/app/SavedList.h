// The list as it stands, kept in a file of the user's data folder so that closing the window,
// or the program's end in the middle of a run, never loses it: every row's source, state,
// reason, output and the streams its output copied, and the chosen format. Written whole on
// every change through a temporary file renamed over the old one, so the file is always one
// complete list.
//
// Restoring: a row that was converting, or waiting in a run, comes back "Ready" and the
// unfinished file its run left (under a temporary name beside the output) is deleted; every
// other row comes back as it was. A file that cannot be read as a list is set aside under a
// name of its own and the window starts empty.
//
// Threads: GUI thread (one object per window).
#pragma once

#include "RowStates.h"

#include <QString>

namespace pelorix {

// The user's data folder for the program: $XDG_DATA_HOME/pelorix, else
// ~/.local/share/pelorix.
QString UserDataFolder();

enum class TListLoad {
  llNone, // no saved list
  llLoaded,
  llSetAside, // damaged or unreadable: renamed, nothing restored
};

class TSavedList {
public:
  // AFolder: where the list lives (created when first written).
  explicit TSavedList(const QString& AFolder);

  QString FilePath() const { return Path; }

  // Writes AFormat and every row; false when the file cannot be written.
  bool Save(const QString& AFormat, const TRowStates& ARows) const;

  // Reads the list into AFormat and ARows (which it replaces), with the restoring rules
  // above. After llSetAside, ASetAsidePath names where the damaged file went.
  TListLoad Load(QString& AFormat, TRowStates& ARows, QString& ASetAsidePath) const;

private:
  QString Path;
};

} // namespace pelorix
