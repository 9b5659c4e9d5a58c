// The failure texts of opening a media file, shared by the engine and the probe: one text per
// error code, and the installed libraries' codes sorted into those rows.
//
// Threads: any; OpenErrorCode reads the start of the file named.
#pragma once

#include <string>

namespace pelorix {

// "<file>: <reason>" for an error code of the table (no such file, I/O error, memory, header,
// image-name pattern, unknown format); every other code reads as a failed open with the
// system's or the library's reason ("Error while opening file: Permission denied"), a variant
// of a format the libraries cannot read named as such. May read the start of the file.
std::string FileOpenErrorText(const std::string& AFileName, int ACode);

// The table's code for the result AResult of opening AFileName as an input. The libraries
// answer AVERROR_INVALIDDATA both for a file no demuxer knows and for one whose header could
// not be parsed, so the start of the file is probed once more to tell the two apart; a forced
// format means the header was at fault.
int OpenErrorCode(const std::string& AFileName, int AResult, bool AForcedFormat);

// The libraries' own text for an error code ("No space left on device", "Permission denied"),
// the reason a caller logs beside a fixed text that does not say it.
std::string LibraryErrorText(int ACode);

} // namespace pelorix
