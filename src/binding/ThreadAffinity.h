// TThreadAffinity: the thread an object's operations belong to, checked at their entry in
// debug builds. An object holds one per thread role it names in its header ("owner's
// thread", "the run's thread"); each operation of that role calls Check first. In release
// builds (NDEBUG) the checks compile to nothing.
//
// The first Check binds the role to the calling thread. Ownership moves only by an explicit
// Adopt on the new thread (a task's engine configured on the window's thread and reopened on
// its worker, say) or a Release, after which the next Check binds again. A failed check
// prints the operation's name and aborts: calling an operation from the wrong thread is a
// programming error that a test run must not survive.
//
// Threads: Check, Adopt and Release are safe from any thread.
#pragma once

#ifndef NDEBUG
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#endif

namespace pelorix {

class TThreadAffinity {
public:
#ifndef NDEBUG
  void Check(const char* AOperation) const noexcept {
    const std::thread::id Caller = std::this_thread::get_id();
    std::thread::id Expected{};
    if (Bound.compare_exchange_strong(Expected, Caller) || Expected == Caller) return;
    std::fprintf(stderr, "pelorix: %s called from a thread it does not belong to\n", AOperation);
    std::abort();
  }
  void Adopt() noexcept { Bound.store(std::this_thread::get_id()); }
  void Release() noexcept { Bound.store(std::thread::id()); }

private:
  mutable std::atomic<std::thread::id> Bound{};
#else
  void Check(const char*) const noexcept {}
  void Adopt() noexcept {}
  void Release() noexcept {}
#endif
};

} // namespace pelorix
