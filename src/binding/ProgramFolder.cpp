// The running program's folder, read from the process's own executable link.
#include "ProgramFolder.h"

#include <unistd.h>

#include <array>

namespace pelorix {

std::string ProgramFolder() {
  std::array<char, 4096> Path{};
  const ssize_t Length = ::readlink("/proc/self/exe", Path.data(), Path.size() - 1);
  if (Length <= 0) return "./";
  const std::string Program(Path.data(), static_cast<size_t>(Length));
  return Program.substr(0, Program.rfind('/') + 1);
}

} // namespace pelorix
