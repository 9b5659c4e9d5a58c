// The sources of a batch beyond its FILE arguments: names read from a list file and the files
// found by walking a folder. Main thread.
#pragma once

#include <string>
#include <vector>

namespace pelorix {

// Appends the names of AListName ("-" for standard input) to ASources: one a line (a carriage
// return before the line feed is dropped), or with ANullSeparated one per NUL-terminated
// record, names kept byte for byte. Empty entries are passed over. False with AError when the
// list cannot be read.
bool ReadSourceList(const std::string& AListName, bool ANullSeparated,
                    std::vector<std::string>& ASources, std::string& AError);

// Appends every regular file below AFolder, all levels, to AFiles in name order: each folder's
// entries sorted by name (byte order), a subfolder's files where its name falls. Links to files
// are followed, links to folders are not (a walk never loops). False with AError when AFolder
// cannot be read; unreadable subfolders are passed over.
bool WalkFolder(const std::string& AFolder, std::vector<std::string>& AFiles, std::string& AError);

} // namespace pelorix
