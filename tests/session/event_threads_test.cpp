// Tests of the display state's event threads and the controller's clutch thread against the
// simulated driver.
#include "session/event_threads.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "driver/driver_buffers.h"
#include "session/ardrith_clutch_thread.h"
#include "tests/session/sim_fixture.h"

namespace {

using Corvane::Vexmoor::CArdrithClutchThread;

constexpr platform::Guid kShift = {
    0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

// What the handlers saw, written on the worker threads.
struct Seen {
  std::mutex mutex;
  int calls = 0;
  uint32_t engaged = 99;
  uint32_t event_type = 99;
  platform::Guid guid;
  uint32_t control = 0, kind = 0, state = 0;
  std::u16string path;
  void* context = nullptr;

  int Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
};

void OnClutch(uint32_t engaged, uint32_t event_type, void* context) {
  auto* seen = static_cast<Seen*>(context);
  std::lock_guard<std::mutex> lock(seen->mutex);
  ++seen->calls;
  seen->engaged = engaged;
  seen->event_type = event_type;
}

void OnShift(const platform::Guid* shift, void* context) {
  auto* seen = static_cast<Seen*>(context);
  std::lock_guard<std::mutex> lock(seen->mutex);
  ++seen->calls;
  seen->guid = *shift;
}

void OnCommand(const platform::Guid* command, uint32_t control, uint32_t kind, uint32_t state,
               void* context) {
  auto* seen = static_cast<Seen*>(context);
  std::lock_guard<std::mutex> lock(seen->mutex);
  ++seen->calls;
  seen->guid = *command;
  seen->control = control;
  seen->kind = kind;
  seen->state = state;
}

void OnProfile(const std::u16string& path, const platform::Guid* shift, void* context) {
  auto* seen = static_cast<Seen*>(context);
  std::lock_guard<std::mutex> lock(seen->mutex);
  ++seen->calls;
  seen->path = path;
  seen->guid = *shift;
}

Seen* g_clutch_event_seen = nullptr;  // set before the thread starts, read by the handler

void OnClutchEvent(uint32_t engaged, uint32_t event_type, CArdrithClutchThread* thread) {
  Seen* seen = g_clutch_event_seen;
  std::lock_guard<std::mutex> lock(seen->mutex);
  ++seen->calls;
  seen->engaged = engaged;
  seen->event_type = event_type;
  seen->context = thread;
}

// One of the four display-state threads, set up with its handler and a path.
struct AnyEventThread {
  const char* name;
  const char16_t* terminating;
  uint32_t code;
  std::function<std::unique_ptr<CThread>(Seen*, const std::u16string&)> make;
};

std::vector<AnyEventThread> EventThreads() {
  return {
      {"clutch", u"Clutch Thread Terminating", IOCTL_WAIT_CLUTCH_STATE,
       [](Seen* seen, const std::u16string& path) {
         auto thread = std::make_unique<CClutchThread>();
         thread->SetHandler(&OnClutch, seen);
         thread->SetPath(path);
         return std::unique_ptr<CThread>(std::move(thread));
       }},
      {"profile", u"Profile Thread Terminating", IOCTL_WAIT_PROFILE_CHANGE,
       [](Seen* seen, const std::u16string& path) {
         auto thread = std::make_unique<CProfileThread>();
         thread->SetHandler(&OnProfile, seen);
         thread->SetPath(path);
         return std::unique_ptr<CThread>(std::move(thread));
       }},
      {"shift", u"Shift Thread Terminating", IOCTL_WAIT_SHIFT_CHANGE,
       [](Seen* seen, const std::u16string& path) {
         auto thread = std::make_unique<CShiftThread>();
         thread->SetHandler(&OnShift, seen);
         thread->SetPath(path);
         return std::unique_ptr<CThread>(std::move(thread));
       }},
      {"command", u"Command Thread Terminating", IOCTL_WAIT_COMMAND,
       [](Seen* seen, const std::u16string& path) {
         auto thread = std::make_unique<CCommandThread>();
         thread->SetHandler(&OnCommand, seen);
         thread->SetPath(path);
         return std::unique_ptr<CThread>(std::move(thread));
       }},
  };
}

class EventThreadTest : public SimTest {
 protected:
  // Raises the event that completes the wait of the thread behind code.
  int RaiseEvent(uint32_t code) {
    switch (code) {
      case IOCTL_WAIT_CLUTCH_STATE: return model_.SetClutchState(kDevice, 1, 3);
      case IOCTL_WAIT_SHIFT_CHANGE: return model_.SetShiftState(kDevice, kShift);
      case IOCTL_WAIT_COMMAND: return model_.RaiseCommand(kDevice, CommandRecord{});
      default: return model_.LoadAndActivate(kDevice, u"/profiles/a.pr0", false) != 0 ? 1 : 0;
    }
  }
};

TEST_F(EventThreadTest, StopOfNeverStartedThreadReturnsAtOnce) {
  Seen seen;
  for (const AnyEventThread& kind : EventThreads()) {
    auto thread = kind.make(&seen, Path());
    EXPECT_FALSE(thread->Started()) << kind.name;
    thread->Stop();
    thread->Stop();
    EXPECT_EQ(log_.Count(kind.terminating), 0) << kind.name;
  }
  CArdrithClutchThread clutch(nullptr, &OnClutchEvent);
  clutch.Stop();
  EXPECT_TRUE(model_.Trace().empty());
}

TEST_F(EventThreadTest, EmptyOrUnopenablePathEndsAtOnceWithoutCallingTheHandler) {
  const std::u16string unknown = sim::DriverModel::InterfacePath("nosuch");
  for (const std::u16string& path : {std::u16string(), unknown}) {
    for (const AnyEventThread& kind : EventThreads()) {
      Seen seen;
      const int before = log_.Count(kind.terminating);
      auto thread = kind.make(&seen, path);
      ASSERT_TRUE(thread->Start());
      EXPECT_TRUE(log_.WaitFor(kind.terminating, before + 1)) << kind.name;
      thread->Stop();
      EXPECT_EQ(seen.Calls(), 0) << kind.name;
    }
  }
  EXPECT_TRUE(Records(IOCTL_WAIT_CLUTCH_STATE).empty());
}

TEST_F(EventThreadTest, StopWhileWaitingCancelsTheRequestAndEndsAfterTheTerminatingLine) {
  for (const AnyEventThread& kind : EventThreads()) {
    Seen seen;
    auto thread = kind.make(&seen, Path());
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(model_.WaitForOutstanding(kDevice, kind.code, kDeadlineMs)) << kind.name;
    thread->Stop();
    // Stop returned: the thread has logged its last line and its request is over.
    EXPECT_EQ(log_.Count(kind.terminating), 1) << kind.name;
    EXPECT_EQ(model_.OutstandingCount(kDevice, kind.code), 0u) << kind.name;
    EXPECT_EQ(Records(kind.code, "cancelled").size(), 1u) << kind.name;
    EXPECT_EQ(RaiseEvent(kind.code), kind.code == IOCTL_WAIT_PROFILE_CHANGE ? 1 : 0);
    EXPECT_EQ(seen.Calls(), 0) << kind.name;
  }
}

TEST_F(EventThreadTest, StopAfterTheThreadEndedAloneLetsItStartAgain) {
  Seen seen;
  CClutchThread thread;
  thread.SetHandler(&OnClutch, &seen);
  thread.SetPath(Path());
  ASSERT_TRUE(model_.FailNext(kDevice, IOCTL_WAIT_CLUTCH_STATE));
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(log_.WaitFor(u"Clutch Thread Terminating"));
  thread.Stop();
  // The stop signal of the first run must not end the second one.
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_CLUTCH_STATE, kDeadlineMs));
  EXPECT_EQ(model_.SetClutchState(kDevice, 1, 1), 1);
  EXPECT_TRUE(Eventually([&] { return seen.Calls() == 1; }));
  thread.Stop();
}

TEST_F(EventThreadTest, EngagedWordFiveReachesTheClutchHandlerAsOne) {
  Seen seen;
  CClutchThread thread;
  thread.SetHandler(&OnClutch, &seen);
  thread.SetPath(Path());
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_CLUTCH_STATE, kDeadlineMs));
  EXPECT_EQ(model_.SetClutchState(kDevice, 5, 7), 1);
  ASSERT_TRUE(Eventually([&] { return seen.Calls() == 1; }));
  // The next wait is issued after the handler returned.
  ASSERT_TRUE(model_.WaitForIssued(kDevice, IOCTL_WAIT_CLUTCH_STATE, 2, kDeadlineMs));
  EXPECT_EQ(model_.SetClutchState(kDevice, 0, 2), 1);
  ASSERT_TRUE(Eventually([&] { return seen.Calls() == 2; }));
  thread.Stop();
  EXPECT_EQ(log_.Count(u"Clutch State Changed 5 7"), 1);
  EXPECT_EQ(log_.Count(u"Clutch State Changed 0 2"), 1);
  std::lock_guard<std::mutex> lock(seen.mutex);
  EXPECT_EQ(seen.engaged, 0u);
  EXPECT_EQ(seen.event_type, 2u);
}

TEST_F(EventThreadTest, FailedRequestEndsTheThread) {
  for (const AnyEventThread& kind : EventThreads()) {
    Seen seen;
    ASSERT_TRUE(model_.FailNext(kDevice, kind.code));
    auto thread = kind.make(&seen, Path());
    ASSERT_TRUE(thread->Start());
    EXPECT_TRUE(log_.WaitFor(kind.terminating)) << kind.name;
    thread->Stop();
    EXPECT_EQ(seen.Calls(), 0) << kind.name;
    EXPECT_EQ(model_.OutstandingCount(kDevice, kind.code), 0u) << kind.name;
  }
}

TEST_F(EventThreadTest, RemovedDeviceEndsAWaitingThread) {
  Seen seen;
  CShiftThread thread;
  thread.SetHandler(&OnShift, &seen);
  thread.SetPath(Path());
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_SHIFT_CHANGE, kDeadlineMs));
  ASSERT_TRUE(model_.Detach(kDevice));
  EXPECT_TRUE(log_.WaitFor(u"Shift Thread Terminating"));
  thread.Stop();
  EXPECT_EQ(seen.Calls(), 0);
}

TEST_F(EventThreadTest, ShiftAndCommandEventsReachTheirHandlersAndTheLog) {
  Seen shift_seen, command_seen;
  CShiftThread shift;
  shift.SetHandler(&OnShift, &shift_seen);
  shift.SetPath(Path());
  CCommandThread command;
  command.SetHandler(&OnCommand, &command_seen);
  command.SetPath(Path());
  ASSERT_TRUE(shift.Start() && command.Start());
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_SHIFT_CHANGE, kDeadlineMs));
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_COMMAND, kDeadlineMs));
  EXPECT_EQ(model_.SetShiftState(kDevice, kShift), 1);
  CommandRecord record;
  record.control = 0x1A2B;
  record.kind = 2;
  record.state = 1;
  record.command = kShift;
  EXPECT_EQ(model_.RaiseCommand(kDevice, record), 1);
  ASSERT_TRUE(Eventually([&] { return shift_seen.Calls() == 1 && command_seen.Calls() == 1; }));
  command.Stop();
  shift.Stop();
  EXPECT_EQ(log_.Count(u"Shift State Changed {01234567-89AB-CDEF-0123-456789ABCDEF}"), 1);
  EXPECT_EQ(log_.Count(u"Command State Changed 00001A2B 2 1 "
                       u"{01234567-89AB-CDEF-0123-456789ABCDEF}"),
            1);
  EXPECT_EQ(shift_seen.guid, kShift);
  EXPECT_EQ(command_seen.guid, kShift);
  EXPECT_EQ(command_seen.control, 0x1A2Bu);
  EXPECT_EQ(command_seen.kind, 2u);
  EXPECT_EQ(command_seen.state, 1u);
}

class ProfileThreadTest : public EventThreadTest {
 protected:
  // Runs a profile thread through one profile change; seen gets what its handler saw.
  void RunOneChange(const std::u16string& profile, Seen& seen) {
    CProfileThread thread;
    thread.SetHandler(&OnProfile, &seen);
    thread.SetPath(Path());
    EXPECT_TRUE(thread.Start());
    EXPECT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_PROFILE_CHANGE, kDeadlineMs));
    model_.SetShiftState(kDevice, kShift);
    EXPECT_NE(model_.LoadAndActivate(kDevice, profile, false), 0u);
    EXPECT_TRUE(Eventually([&] { return seen.Calls() == 1; }));
    EXPECT_TRUE(model_.WaitForIssued(kDevice, IOCTL_WAIT_PROFILE_CHANGE, 2, kDeadlineMs));
    thread.Stop();
  }
};

TEST_F(ProfileThreadTest, ProfileChangeReportsTheFullPathAndShiftState) {
  const std::u16string profile = u"/profiles/flight.pr0";
  Seen seen;
  RunOneChange(profile, seen);
  EXPECT_EQ(seen.path, profile);
  EXPECT_EQ(seen.guid, kShift);
  EXPECT_EQ(log_.Count(u"Profile Changed \"/profiles/flight.pr0\""), 1);
  EXPECT_EQ(Records(IOCTL_PROFILE_GET_PATH).size(), 1u);
  EXPECT_EQ(Records(IOCTL_GET_PROFILE_ID).size(), 1u);
  EXPECT_EQ(Records(IOCTL_GET_SHIFT_STATE).size(), 1u);
}

TEST_F(ProfileThreadTest, PathReplyOfKindTwoIsAskedForAgainExactlyOnce) {
  ASSERT_TRUE(model_.InjectPathKind(kDevice, 2));
  Seen seen;
  RunOneChange(u"/profiles/b.pr0", seen);
  EXPECT_EQ(Records(IOCTL_PROFILE_GET_PATH).size(), 2u);
  EXPECT_EQ(seen.path, u"/profiles/b.pr0");
}

TEST_F(ProfileThreadTest, PathReplyOfKindThreeGivesAnEmptyPath) {
  ASSERT_TRUE(model_.InjectPathKind(kDevice, 3));
  Seen seen;
  RunOneChange(u"/profiles/c.pr0", seen);
  EXPECT_EQ(Records(IOCTL_PROFILE_GET_PATH).size(), 2u);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.path, u"");
  EXPECT_EQ(log_.Count(u"Profile Changed \"\""), 1);
}

// A handler call in progress holds the thread object's mutex: installing a new handler waits.
// The installer says when it is about to install; only then does the wait for a wrongful early
// return begin. Whenever the install returns, it notes whether the call had ended by then.
TEST_F(EventThreadTest, InstallingAHandlerWaitsForARunningCall) {
  struct Gate {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> returned{false};
  } gate;
  CClutchThread thread;
  thread.SetHandler(
      [](uint32_t, uint32_t, void* context) {
        auto* g = static_cast<Gate*>(context);
        g->entered = true;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
        while (!g->release && std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        g->returned = true;
      },
      &gate);
  thread.SetPath(Path());
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_CLUTCH_STATE, kDeadlineMs));
  ASSERT_EQ(model_.SetClutchState(kDevice, 1, 1), 1);
  ASSERT_TRUE(Eventually([&] { return gate.entered.load(); }));
  std::atomic<bool> installing{false};
  std::atomic<bool> installed{false};
  std::atomic<bool> call_had_ended{false};
  std::thread installer([&] {
    installing = true;
    thread.SetHandler(nullptr, nullptr);
    call_had_ended = gate.returned.load();
    installed = true;
  });
  EXPECT_TRUE(Eventually([&] { return installing.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(installed.load());
  gate.release = true;
  installer.join();
  EXPECT_TRUE(installed.load());
  EXPECT_TRUE(call_had_ended.load()) << "the handler was replaced during its call";
  thread.Stop();
}

class ArdrithClutchThreadTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    device_ = platform::OpenDevice(Path(), platform::DeviceAccess::kReadWrite, true);
    ASSERT_NE(device_, nullptr);
    g_clutch_event_seen = &seen_;
  }
  void TearDown() override {
    platform::CloseDevice(device_);
    g_clutch_event_seen = nullptr;
  }
  Seen seen_;
  platform::DeviceHandle device_ = nullptr;
};

TEST_F(ArdrithClutchThreadTest, ClutchEventsReachTheHandlerWithTheThreadObject) {
  CArdrithClutchThread thread(device_, &OnClutchEvent);
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_CLUTCH_EVENT, kDeadlineMs));
  EXPECT_EQ(model_.RaiseClutchEvent(kDevice, 5, 3), 1);
  ASSERT_TRUE(Eventually([&] { return seen_.Calls() == 1; }));
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_CLUTCH_EVENT, kDeadlineMs));
  thread.Stop();
  EXPECT_EQ(Records(IOCTL_WAIT_CLUTCH_EVENT, "cancelled").size(), 1u);
  EXPECT_EQ(model_.RaiseClutchEvent(kDevice, 0, 0), 0);
  std::lock_guard<std::mutex> lock(seen_.mutex);
  EXPECT_EQ(seen_.calls, 1);
  EXPECT_EQ(seen_.engaged, 1u);
  EXPECT_EQ(seen_.event_type, 3u);
  EXPECT_EQ(seen_.context, &thread);
  EXPECT_TRUE(log_.Lines().empty());  // this thread writes no log lines
}

// A driver may fail the pending clutch wait without removing the controller (a power
// transition): the wait is issued again after a pause of a second, logged, and the clutch lives
// on. A removal fails the wait and stops the thread: that ends the pause at once, unlogged.
TEST_F(ArdrithClutchThreadTest, FailedRequestIsIssuedAgainAfterAPauseUntilStopped) {
  constexpr char16_t kRestartLine[] = u"Clutch Event Wait Failed - Restarting Clutch Thread";
  CArdrithClutchThread thread(device_, &OnClutchEvent);
  ASSERT_TRUE(model_.FailNext(kDevice, IOCTL_WAIT_CLUTCH_EVENT));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(model_.WaitForIssued(kDevice, IOCTL_WAIT_CLUTCH_EVENT, 2, kDeadlineMs));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(log_.Count(kRestartLine), 1);
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_CLUTCH_EVENT, kDeadlineMs));
  EXPECT_EQ(model_.RaiseClutchEvent(kDevice, 1, 3), 1);
  ASSERT_TRUE(Eventually([&] { return seen_.Calls() == 1; }));
  // The borrowed handle still works for its owner.
  uint8_t type[16] = {};
  uint32_t returned = 0;
  EXPECT_TRUE(platform::DeviceControl(device_, IOCTL_GET_DEVICE_TYPE, nullptr, 0, type,
                                      sizeof type, &returned));

  // The failed wait has completed before the stop is signalled, and a completion wins that tie:
  // the thread sees the failure either way.
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_CLUTCH_EVENT, kDeadlineMs));
  const uint64_t issued = model_.IssuedCount(kDevice, IOCTL_WAIT_CLUTCH_EVENT);
  ASSERT_TRUE(model_.Detach(kDevice));
  thread.Stop();
  EXPECT_EQ(model_.IssuedCount(kDevice, IOCTL_WAIT_CLUTCH_EVENT), issued);
  EXPECT_EQ(log_.Count(kRestartLine), 1);
  EXPECT_EQ(seen_.Calls(), 1);
}

}  // namespace
