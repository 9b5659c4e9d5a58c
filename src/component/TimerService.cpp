#include "TimerService.h"

#include <algorithm>

namespace pelorix {

void TTimerPump::StartOneShot(std::chrono::milliseconds ADelay, int32_t ATag,
                              std::function<void(int32_t ATag)> AOnFire) {
  std::lock_guard Guard(Lock);
  Timers.push_back({std::chrono::steady_clock::now() + ADelay, ATag, std::move(AOnFire)});
  Changed.notify_all();
}

bool TTimerPump::FireNext(std::chrono::milliseconds AMaxWait) {
  const auto GiveUp = std::chrono::steady_clock::now() + AMaxWait;
  TTimer Fired;
  {
    std::unique_lock Guard(Lock);
    for (;;) {
      const auto Earliest =
          std::min_element(Timers.begin(), Timers.end(),
                           [](const TTimer& A, const TTimer& B) { return A.Due < B.Due; });
      const auto Now = std::chrono::steady_clock::now();
      if (Earliest != Timers.end() && Earliest->Due <= Now) {
        Fired = std::move(*Earliest);
        Timers.erase(Earliest);
        break;
      }
      if (Now >= GiveUp) return false;
      const auto Until = Earliest == Timers.end() ? GiveUp : std::min(GiveUp, Earliest->Due);
      Changed.wait_until(Guard, Until);
    }
  }
  // The timer is stopped and gone before its work runs, which may start the next timer.
  if (Fired.OnFire) Fired.OnFire(Fired.Tag);
  return true;
}

bool TTimerPump::RunUntilIdle(std::chrono::milliseconds AMaxWait) {
  while (PendingCount() > 0)
    if (!FireNext(AMaxWait)) return false;
  return true;
}

size_t TTimerPump::PendingCount() const {
  std::lock_guard Guard(Lock);
  return Timers.size();
}

void TTimerPump::Clear() {
  std::lock_guard Guard(Lock);
  Timers.clear();
}

} // namespace pelorix
