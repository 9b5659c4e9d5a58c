// The process-wide lock around stream probing and codec opening and closing.
#include "CodecLock.h"

namespace pelorix {

std::mutex& CodecLock() {
  // Never destroyed: an engine thread may still be closing a codec while the process exits.
  static std::mutex* Lock = new std::mutex;
  return *Lock;
}

} // namespace pelorix
