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

TEST(Thread, SuspendedThreadRunsOnlyAfterResume) {
  std::atomic<int> runs{0};
  Thread thread;
  ASSERT_TRUE(thread.Start(CountRun, &runs, true));
  EXPECT_TRUE(thread.Running());
  SleepMs(50);
  EXPECT_EQ(runs.load(), 0);
  ASSERT_TRUE(thread.Resume());
  thread.Join();
  EXPECT_EQ(runs.load(), 1);
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
