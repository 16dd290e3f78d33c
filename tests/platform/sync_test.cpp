// Events, multi-object waits and mutexes behave as their Windows counterparts do.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/sync.h"
#include "platform/thread.h"

namespace platform {
namespace {

constexpr uint32_t kDeadlineMs = 10000;

// Two waits, each entered after its thread said it was about to wait; two signals. Each signal
// releases exactly one wait and is consumed by it: a signal that released both, or that stayed
// set, leaves the event set at the end, whatever the timing.
TEST(Event, AutoResetReleasesExactlyOneWait) {
  Event event(Event::Kind::kAutoReset);
  ASSERT_TRUE(event.Valid());
  struct Shared {
    Event* event;
    std::atomic<int> waiting{0};
    std::atomic<int> woken{0};
  } shared{&event};
  auto waiter = [](void* argument) -> uint32_t {
    auto* s = static_cast<Shared*>(argument);
    s->waiting.fetch_add(1);
    if (s->event->Wait(kDeadlineMs)) s->woken.fetch_add(1);
    return 0;
  };
  Thread a, b;
  ASSERT_TRUE(a.Start(waiter, &shared));
  ASSERT_TRUE(b.Start(waiter, &shared));
  const uint64_t until = TickMs() + kDeadlineMs;
  while (shared.waiting.load() < 2 && TickMs() < until) SleepMs(1);
  event.Set();
  while (shared.woken.load() == 0 && TickMs() < until) SleepMs(1);
  EXPECT_FALSE(event.Wait(0)) << "the signal was consumed by the one woken wait";
  event.Set();  // releases the other waiter
  a.Join();
  b.Join();
  EXPECT_EQ(shared.woken.load(), 2);
  EXPECT_FALSE(event.Wait(0)) << "one signal released two waits, or was not consumed";
}

TEST(Event, ManualResetStaysSetUntilReset) {
  Event event(Event::Kind::kManualReset);
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  EXPECT_EQ(WaitAny({&event}, 0), 0);
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
  Event initially(Event::Kind::kManualReset, true);
  EXPECT_TRUE(initially.Wait(0));
}

TEST(Event, TimedWaitTimesOut) {
  Event event(Event::Kind::kAutoReset);
  uint64_t start = TickMs();
  EXPECT_EQ(WaitAny({&event}, 30), kWaitTimeout);
  EXPECT_GE(TickMs() - start, 25u);
}

TEST(WaitAny, ReportsLowestSignalledIndexAndConsumesOnlyThat) {
  Event first(Event::Kind::kAutoReset);
  Event second(Event::Kind::kAutoReset);
  Event third(Event::Kind::kManualReset);
  third.Set();
  second.Set();
  EXPECT_EQ(WaitAny({&first, &second, &third}, 0), 1);
  // The second's signal was taken; the manual third stays set and is reported next.
  EXPECT_EQ(WaitAny({&first, &second, &third}, 0), 2);
  EXPECT_EQ(WaitAny({&first, &second, &third}, 0), 2);
  first.Set();
  second.Set();
  EXPECT_EQ(WaitAny({&first, &second}, 0), 0);
  EXPECT_TRUE(second.Wait(0)) << "the unreported auto-reset event keeps its signal";
}

TEST(WaitAny, WakesWhenAnotherThreadSetsAnEvent) {
  Event completion(Event::Kind::kManualReset);
  Event stop(Event::Kind::kAutoReset);
  Thread setter;
  ASSERT_TRUE(setter.Start(
      [](void* argument) -> uint32_t {
        SleepMs(20);
        static_cast<Event*>(argument)->Set();
        return 0;
      },
      &stop));
  EXPECT_EQ(WaitAny({&completion, &stop}, kDeadlineMs), 1);
  setter.Join();
}

// A wait leaves nothing behind in the events it waited on: setting them afterwards, once the
// waiting frame is gone, must not reach it (AddressSanitizer sees a stale registration).
TEST(WaitAny, LeavesNoRegistrationBehindAfterATimeoutOrAWakeUp) {
  Event a(Event::Kind::kAutoReset);
  Event b(Event::Kind::kManualReset);
  EXPECT_EQ(WaitAny({&a, &b, &a}, 20), kWaitTimeout);
  a.Set();
  b.Set();
  EXPECT_EQ(WaitAny({&a, &b}, 0), 0);
  b.Reset();
  Thread setter;
  ASSERT_TRUE(setter.Start(
      [](void* argument) -> uint32_t {
        SleepMs(20);
        static_cast<Event*>(argument)->Set();
        return 0;
      },
      &a));
  EXPECT_EQ(WaitAny({&b, &a, &a}, kDeadlineMs), 1);  // one event listed twice
  setter.Join();
  a.Set();
  b.Set();
  EXPECT_EQ(WaitAny({&a}, 0), 0);
}

// Each waiter is woken by its own event, whichever of many waiting threads it is.
TEST(WaitAny, EachOfManyWaitersIsWokenByItsOwnEvent) {
  constexpr int kWaiters = 8;
  struct Slot {
    Event own{Event::Kind::kAutoReset};
    Event* shared_stop = nullptr;
    std::atomic<int> result{-3};
  };
  Event stop(Event::Kind::kManualReset);
  Slot slots[kWaiters];
  Thread threads[kWaiters];
  for (int i = 0; i < kWaiters; ++i) {
    slots[i].shared_stop = &stop;
    ASSERT_TRUE(threads[i].Start(
        [](void* argument) -> uint32_t {
          auto* slot = static_cast<Slot*>(argument);
          slot->result = WaitAny({&slot->own, slot->shared_stop}, kDeadlineMs);
          return 0;
        },
        &slots[i]));
  }
  for (int i = 0; i < kWaiters; i += 2) slots[i].own.Set();  // the even ones by their own event
  for (int i = 0; i < kWaiters; i += 2) threads[i].Join();
  stop.Set();  // the odd ones by the shared one
  for (int i = 1; i < kWaiters; i += 2) threads[i].Join();
  for (int i = 0; i < kWaiters; ++i) EXPECT_EQ(slots[i].result.load(), i % 2 == 0 ? 0 : 1) << i;
}

TEST(WaitAny, RejectsEmptyOrInvalidSets) {
  EXPECT_EQ(WaitAny(nullptr, 0, 0), kWaitFailed);
  Event event(Event::Kind::kManualReset);
  Event* events[] = {&event, nullptr};
  EXPECT_EQ(WaitAny(events, 2, 0), kWaitFailed);
}

TEST(Mutex, IsRecursiveAndExcludesOtherThreads) {
  Mutex mutex;
  ASSERT_TRUE(mutex.Valid());
  struct Shared {
    Mutex* mutex;
    int counter = 0;
  } shared{&mutex};
  auto adder = [](void* argument) -> uint32_t {
    auto* s = static_cast<Shared*>(argument);
    for (int i = 0; i < 1000; ++i) {
      MutexLock outer(*s->mutex);
      MutexLock inner(*s->mutex);
      ++s->counter;
    }
    return 0;
  };
  Thread a, b;
  ASSERT_TRUE(a.Start(adder, &shared));
  ASSERT_TRUE(b.Start(adder, &shared));
  a.Join();
  b.Join();
  EXPECT_EQ(shared.counter, 2000);
}

TEST(Ids, AreStableWithinAThreadAndDifferBetweenThreads) {
  EXPECT_NE(CurrentProcessId(), 0u);
  uint32_t main_id = CurrentThreadId();
  EXPECT_EQ(main_id, CurrentThreadId());
  uint32_t other_id = 0;
  Thread thread;
  ASSERT_TRUE(thread.Start(
      [](void* argument) -> uint32_t {
        *static_cast<uint32_t*>(argument) = CurrentThreadId();
        return 0;
      },
      &other_id));
  thread.Join();
  EXPECT_NE(other_id, 0u);
  EXPECT_NE(other_id, main_id);
}

}  // namespace
}  // namespace platform
