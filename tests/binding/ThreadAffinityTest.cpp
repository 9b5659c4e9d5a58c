// The thread checks of operations that belong to one thread: in debug builds a call from
// another thread ends the process; ownership moves only when a thread adopts it.
#include "ThreadAffinity.h"

#include <gtest/gtest.h>

#include <thread>

namespace pelorix {
namespace {

#ifndef NDEBUG
void CheckOnAnotherThread(const TThreadAffinity& AAffinity) {
  std::thread Other([&] { AAffinity.Check("Start"); });
  Other.join();
}

TEST(TThreadAffinityTest, ACallFromAnotherThreadEndsTheProcessWithTheOperationsName) {
  TThreadAffinity Owner;
  Owner.Check("SetOption"); // binds to this thread
  Owner.Check("SetOption");
  EXPECT_DEATH(CheckOnAnotherThread(Owner), "Start called from a thread it does not belong to");
}

TEST(TThreadAffinityTest, AdoptingMovesTheRoleAndReleasingLetsTheNextCallerBindIt) {
  TThreadAffinity Owner;
  Owner.Check("Reset");
  std::thread Worker([&] {
    Owner.Adopt();
    Owner.Check("OpenInputFile");
    Owner.Release();
  });
  Worker.join();
  Owner.Check("Cleanup"); // bound again, to this thread
  EXPECT_DEATH(CheckOnAnotherThread(Owner), "called from a thread");
}
#else
TEST(TThreadAffinityTest, ChecksAreLeftOutOfReleaseBuilds) {
  GTEST_SKIP() << "thread checks exist in debug builds only";
}
#endif

} // namespace
} // namespace pelorix
