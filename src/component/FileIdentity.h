// Whether two names a program was given are the same file of this system: an output must
// never be written over one of the run's inputs, whichever order the two were named in.
//
// Threads: plain functions on the file system; any thread.
#pragma once

#include <optional>
#include <string>

namespace pelorix {

// The local path a media name stands for: the name itself, or what follows "file:"; none for
// a name with another protocol ("pipe:", "http://..."), which is no file of this system.
std::optional<std::string> LocalFilePath(const std::string& AName);

// Whether AFirst and ASecond name the same local file: by device and inode when both exist
// (hard links, symbolic links, "./" and "//" spellings), by their canonical paths when one of
// them does not exist yet. False when either is no local file.
bool SameLocalFile(const std::string& AFirst, const std::string& ASecond);

} // namespace pelorix
