#include "StopSignals.h"

#include <atomic>

namespace pelorix {
namespace {

// Lock-free, so the handler may set it.
std::atomic<bool> StopSignal{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int) { StopSignal.store(true); }

} // namespace

TStopSignals::TStopSignals() {
  StopSignal.store(false);
  struct sigaction Action {};
  Action.sa_handler = OnStopSignal;
  sigemptyset(&Action.sa_mask);
  sigaction(SIGINT, &Action, &OldInt);
  sigaction(SIGTERM, &Action, &OldTerm);
}

TStopSignals::~TStopSignals() {
  sigaction(SIGINT, &OldInt, nullptr);
  sigaction(SIGTERM, &OldTerm, nullptr);
}

bool TStopSignals::StopRequested() const { return StopSignal.load(); }

} // namespace pelorix
