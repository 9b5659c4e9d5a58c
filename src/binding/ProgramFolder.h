// Where the running program lives: the library folder and the program's own files are found
// from here. Any thread.
#pragma once

#include <string>

namespace pelorix {

// The folder of the running executable (a launcher's symbolic link resolved), ending with a
// separator; "./" when the system does not say.
std::string ProgramFolder();

} // namespace pelorix
