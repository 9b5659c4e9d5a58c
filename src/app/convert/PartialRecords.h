// The record beside an output that says it is not known to be whole, so that a run with
// --skip-existing converts it again instead of passing over it. The record of NAME is the
// hidden file ".NAME.partial" in NAME's folder; it says "converting" (a run began the file and
// has not ended it: a killed run leaves it so) or "stopped" (a stop cut the file short: it
// plays, only shorter).
//
// With --skip-existing the record is made before the file starts and goes once it has
// converted, so a run killed at any moment leaves no output that passes for whole; without it
// only a stop writes one. Main thread.
#pragma once

#include <string>

namespace pelorix {

enum class TPartialState { psNone, psConverting, psStopped };

std::string PartialRecordName(const std::string& AOutput);
TPartialState ReadPartialRecord(const std::string& AOutput);
// False when the record could not be written.
bool WritePartialRecord(const std::string& AOutput, TPartialState AState);
void RemovePartialRecord(const std::string& AOutput);

} // namespace pelorix
