// The check that makes "converted" mean complete: after a run the front ends probe its output
// and compare each stream that was to be written with what the run read for it. A container
// header can overstate a source's length, so the measure is what was read, never the header.
// The window, pelorix-convert (through the converter's tasks) and pelorix-fuzz use this one
// check.
//
// Threads: any thread; the probe it opens takes CodecLock for its stream probing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

namespace pelorix {

// One stream the output should hold.
struct TExpectedStream {
  AVMediaType Kind = AVMEDIA_TYPE_UNKNOWN; // audio or video; other kinds are not checked
  int32_t StreamIndex = -1; // in the output file; -1: the longest stream of the kind
  double Seconds = -1; // what the run read for it; < 0: unknown, only its presence counts
};

// How far an output may be from what was read: 0.5 s, or 2 % of a longer span.
double OutputTolerance(double ASeconds);

// What AFileName lacks of AExpected, as a reason a user reads ("the output holds 2.4 of 9.9 s
// of audio", "the output holds no video"); empty when it holds every expected stream, each
// within OutputTolerance of its seconds. A stream's length is measured from its packets
// (the output is read through once); a stream without a packet is no stream. An output that does not open as media lacks
// everything. Library failures raise (TBindingError); callers turn them into a failure.
std::string OutputShortfall(const std::string& AFileName,
                            const std::vector<TExpectedStream>& AExpected);

} // namespace pelorix
