// What the engine's stage objects hand back to the engine: log lines and packets.
#pragma once

#include "MediaObjects.h"

#include <functional>
#include <string>

namespace pelorix {

// A log line of a stage (levels as the engine's: 0 error, 1 information). Empty: no lines.
using TStageLog = std::function<void(int ALevel, const std::string& AText)>;
// Takes one packet: its data and reference are the receiver's to take (what is left is
// unreferenced after the call).
using TPacketSink = std::function<void(AVPacket* APacket)>;

} // namespace pelorix
