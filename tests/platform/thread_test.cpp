// OS threads: suspended start, resume, join.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/sync.h"
#include "platform/thread.h"

namespace platform {
namespace {

uint32_t CountRun(void* argument) {
  static_cast<std::atomic<int>*>(argument)->fetch_add(1);
  return 0;
}

// The suspended thread's function notes whether Resume had been called when it ran, so an early
// run is caught whenever it happens. Before resuming, the test waits until a thread started
// after the suspended one has run: a start that ignored suspension would have had its turn too.
struct SuspendedRun {
  std::atomic<bool> resumed{false};
  std::atomic<int> runs{0};
  std::atomic<int> early{0};
};

uint32_t NoteRun(void* argument) {
  auto* run = static_cast<SuspendedRun*>(argument);
  if (!run->resumed.load()) run->early.fetch_add(1);
  run->runs.fetch_add(1);
  return 0;
}

uint32_t SignalEvent(void* argument) {
  static_cast<Event*>(argument)->Set();
  return 0;
}

TEST(Thread, SuspendedThreadRunsOnlyAfterResume) {
  SuspendedRun run;
  Thread thread;
  ASSERT_TRUE(thread.Start(NoteRun, &run, true));
  EXPECT_TRUE(thread.Running());
  Event later_ran(Event::Kind::kManualReset);
  Thread later;
  ASSERT_TRUE(later.Start(SignalEvent, &later_ran));
  ASSERT_TRUE(later_ran.Wait(10000));
  later.Join();
  EXPECT_EQ(run.runs.load(), 0);
  run.resumed.store(true);
  ASSERT_TRUE(thread.Resume());
  thread.Join();
  EXPECT_EQ(run.runs.load(), 1);
  EXPECT_EQ(run.early.load(), 0) << "the function ran before Resume";
  EXPECT_FALSE(thread.Running());
}

TEST(Thread, JoinOfANeverResumedThreadReturnsWithoutRunningIt) {
  std::atomic<int> runs{0};
  {
    Thread thread;
    ASSERT_TRUE(thread.Start(CountRun, &runs, true));
  }  // the destructor joins
  EXPECT_EQ(runs.load(), 0);
}

TEST(Thread, EmptyObjectAndRestart) {
  Thread thread;
  thread.Join();  // nothing to do
  EXPECT_FALSE(thread.Resume());
  std::atomic<int> runs{0};
  ASSERT_TRUE(thread.Start(CountRun, &runs));
  EXPECT_FALSE(thread.Start(CountRun, &runs)) << "one thread per object at a time";
  thread.Join();
  ASSERT_TRUE(thread.Start(CountRun, &runs));
  thread.Join();
  EXPECT_EQ(runs.load(), 2);
}

}  // namespace
}  // namespace platform
