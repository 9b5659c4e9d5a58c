// The output formats the window offers: an entry of the format list reads
// "label (*extension)", as in "XviD Video (*.avi)". Pure text rules, any thread.
#pragma once

#include <QString>

namespace pelorix {

// The one entry of the format list; it also selects the XviD/MP3 codec pair.
inline const QString XvidEntryText = QStringLiteral("XviD Video (*.avi)");

struct TFormatEntry {
  QString Extension;  // ".avi": from two characters after "(" up to the first ")"
  QString Label;      // "XviD Video": the text before "(" less its last character, "*" -> "x"
};

TFormatEntry ParseFormatEntry(const QString& AText);

// True when AExtension (with its dot) occurs in the audio extension list, exact case. An empty
// extension is never listed: a file without one keeps its video.
bool IsAudioExtension(const QString& AExtension);

// The extension of a file name with its dot, "" when the name has none.
QString ExtensionOf(const QString& AFileName);

} // namespace pelorix
