// Ctrl-C and SIGTERM for the batch command line: while a TStopSignals lives, either signal only
// records a stop request, which the main thread polls; the previous handlers come back when it
// goes. One at a time; created and destroyed on the main thread.
#pragma once

#include <signal.h>

namespace pelorix {

class TStopSignals {
public:
  TStopSignals();
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  // Whether SIGINT or SIGTERM came since construction. Any thread.
  bool StopRequested() const;

private:
  struct sigaction OldInt {};
  struct sigaction OldTerm {};
};

} // namespace pelorix
