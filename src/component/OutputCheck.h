// The check that makes "converted" mean complete: after a run the front ends probe its output
// and compare each stream that was to be written with what the run read for it. A container
// header can overstate a source's length, so the measure is what was read, never the header.
// The window, pelorix-convert (through the converter's tasks) and pelorix-fuzz use this one
// check: RunOutputShortfall, with the expectations of ExpectedOutput.
//
// Threads: any thread; the probe it opens takes CodecLock for its stream probing.
#pragma once

#include "ProbeSummary.h"
#include "RunSpans.h"

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
  // In the output file; -1, or a number whose stream is of another kind: the longest stream
  // of the kind.
  int32_t StreamIndex = -1;
  double Seconds = -1; // what the run read for it; < 0: unknown, only its presence counts
  // How much longer than Seconds (beyond the tolerance) the stream may legitimately be.
  double MayRunOver = 0;
};

// What a front end knows of a conversion besides its run.
struct TOutputSetting {
  TProbeSummary Source; // the source as probed when it was added
  bool DropsAudio = false, DropsVideo = false; // the entry writes no sound, no pictures
  double LimitSeconds = -1; // the duration asked for; <= 0: none
  // The source's file changed while it was read: what was read is no measure of it then, and
  // the length it showed when it was added is.
  bool SourceChanged = false;
};

// The longest a picture may be held past the last one read: the engine shows a source's last
// picture on as long as its container says, within this bound.
constexpr double MaxHeldPictureSeconds = 60;

// What output file AOutputFile of a finished run ARun should hold: every sound and picture
// stream the run wrote there, as long as what it read of that stream's source (start and
// duration limits are already in those spans). A source stream read without a time inside
// the limits asks for nothing, nor does a cover picture; a picture stream may run over by
// MaxHeldPictureSeconds (a held last picture), never fall short. Where the run tells no
// streams of the file, and when the source changed, a stream of each kind the source has and
// the entry keeps (as long as the source showed when it changed).
std::vector<TExpectedStream> ExpectedOutput(const TOutputSetting& ASetting, const TRunSpans& ARun,
                                            int32_t AOutputFile = 0);

// How far an output may be from what was read: 0.5 s, or 2 % of a longer span.
double OutputTolerance(double ASeconds);

// What AFileName lacks of AExpected, as a reason a user reads ("the output holds 2.4 of 9.9 s
// of audio", "the output holds no video"); empty when it holds every expected stream, each
// within OutputTolerance of its seconds. A stream's length is measured from its packets
// (the output is read through once); a stream without a packet is no stream, which only a
// stream of which less than the tolerance was read may be. An output that does not open as media lacks
// everything. Library failures raise (TBindingError); callers turn them into a failure.
std::string OutputShortfall(const std::string& AFileName,
                            const std::vector<TExpectedStream>& AExpected);

// The check a front end makes after a finished run: OutputShortfall of ExpectedOutput.
std::string RunOutputShortfall(const std::string& AFileName, const TOutputSetting& ASetting,
                               const TRunSpans& ARun, int32_t AOutputFile = 0);

} // namespace pelorix
