// The process-wide lock around stream probing and every codec open and close, shared by every
// engine and probe.
// Never take it while holding a component lock (order: CodecLock, list lock, component lock).
#pragma once

#include <mutex>

namespace pelorix {

std::mutex& CodecLock();

} // namespace pelorix
