// Tests of the HID input and soft-button threads against the simulated driver, with a minimal
// owner standing in for the device session.
#include "session/session_threads.h"

#include <mutex>

#include "platform/thread.h"
#include "tests/session/sim_fixture.h"

namespace {

// Holds what a device session holds for the two threads, and runs them as the session does.
class Owner : public ISessionThreadOwner {
 public:
  explicit Owner(std::u16string path) : path_(std::move(path)) {}
  ~Owner() { StopAll(); }

  const std::u16string& path() const override { return path_; }
  platform::Event& hid_stop() override { return hid_stop_; }
  platform::Event& hid_done() override { return hid_done_; }
  platform::Event& soft_button_stop() override { return soft_button_stop_; }
  platform::Event& soft_button_done() override { return soft_button_done_; }
  void CallSoftButtonHandler(uint32_t word) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handler_installed_) words_.push_back(word);
  }

  void InstallHandler() {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_installed_ = true;
  }
  std::vector<uint32_t> Words() {
    std::lock_guard<std::mutex> lock(mutex_);
    return words_;
  }

  void StartHid() { Start(hid_thread_, &HidInputThread); }
  void StartSoftButtons() { Start(soft_button_thread_, &SoftButtonThread); }

  // Soft buttons first, then HID, as session destruction does.
  void StopAll() {
    Stop(soft_button_thread_, soft_button_stop_, soft_button_done_);
    Stop(hid_thread_, hid_stop_, hid_done_);
  }

 private:
  void Start(platform::Thread& thread, platform::ThreadFunction routine) {
    ISessionThreadOwner* self = this;
    if (thread.Start(routine, self, true)) thread.Resume();
  }
  static void Stop(platform::Thread& thread, platform::Event& stop, platform::Event& done) {
    if (!thread.Running()) return;
    stop.Set();
    done.Wait();
    thread.Join();
  }

  std::u16string path_;
  std::mutex mutex_;
  bool handler_installed_ = false;
  std::vector<uint32_t> words_;
  platform::Thread soft_button_thread_;
  platform::Event soft_button_stop_{platform::Event::Kind::kManualReset};
  platform::Event soft_button_done_{platform::Event::Kind::kManualReset};
  platform::Thread hid_thread_;
  platform::Event hid_stop_{platform::Event::Kind::kManualReset};
  platform::Event hid_done_{platform::Event::Kind::kManualReset};
};

using SessionThreadTest = SimTest;

TEST_F(SessionThreadTest, HidThreadKeepsOneReadOutstandingAndCancelsItOnStop) {
  Owner owner(Path());
  owner.StartHid();
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, sim::kReadRequest, kDeadlineMs));
  EXPECT_EQ(model_.RaiseInputReport(kDevice, {1, 2, 3}), 1);
  ASSERT_TRUE(model_.WaitForIssued(kDevice, sim::kReadRequest, 2, kDeadlineMs));
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, sim::kReadRequest, kDeadlineMs));
  EXPECT_EQ(model_.OutstandingCount(kDevice, sim::kReadRequest), 1u);
  owner.StopAll();
  EXPECT_EQ(model_.OutstandingCount(kDevice, sim::kReadRequest), 0u);
  EXPECT_EQ(model_.IssuedCount(kDevice, sim::kReadRequest), 2u);
  EXPECT_EQ(log_.Count(u"HID Thread Terminating"), 1);
  EXPECT_TRUE(owner.hid_done().Wait(0));
}

TEST_F(SessionThreadTest, HidThreadWithStopAlreadySetIssuesNoRead) {
  Owner owner(Path());
  owner.hid_stop().Set();
  owner.StartHid();
  ASSERT_TRUE(owner.hid_done().Wait(kDeadlineMs));
  owner.StopAll();
  EXPECT_EQ(model_.IssuedCount(kDevice, sim::kReadRequest), 0u);
  EXPECT_EQ(log_.Count(u"HID Thread Terminating"), 1);
}

TEST_F(SessionThreadTest, EmptyOrUnopenablePathEndsBothThreadsAtOnce) {
  for (const std::u16string& path :
       {std::u16string(), sim::DriverModel::InterfacePath("nosuch")}) {
    Owner owner(path);
    owner.StartHid();
    owner.StartSoftButtons();
    EXPECT_TRUE(owner.hid_done().Wait(kDeadlineMs));
    EXPECT_TRUE(owner.soft_button_done().Wait(kDeadlineMs));
  }
  EXPECT_EQ(log_.Count(u"HID Thread Terminating"), 2);
  EXPECT_EQ(log_.Count(u"Soft Button Thread Terminating"), 2);
  EXPECT_EQ(model_.IssuedCount(kDevice, sim::kReadRequest), 0u);
  EXPECT_TRUE(Records(IOCTL_WAIT_SOFT_BUTTONS).empty());
}

TEST_F(SessionThreadTest, SoftButtonWordIsLoggedAndHandedToTheHandler) {
  Owner owner(Path());
  owner.StartSoftButtons();
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_SOFT_BUTTONS, kDeadlineMs));
  // No handler installed: logged only.
  EXPECT_EQ(model_.SetSoftButtons(kDevice, 5), 1);
  ASSERT_TRUE(log_.WaitFor(u"Soft Buttons Changed 00000005"));
  ASSERT_TRUE(model_.WaitForIssued(kDevice, IOCTL_WAIT_SOFT_BUTTONS, 2, kDeadlineMs));
  owner.InstallHandler();
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_SOFT_BUTTONS, kDeadlineMs));
  EXPECT_EQ(model_.SetSoftButtons(kDevice, 0xA0000001), 1);
  ASSERT_TRUE(log_.WaitFor(u"Soft Buttons Changed A0000001"));
  ASSERT_TRUE(model_.WaitForIssued(kDevice, IOCTL_WAIT_SOFT_BUTTONS, 3, kDeadlineMs));
  owner.StopAll();
  EXPECT_EQ(owner.Words(), std::vector<uint32_t>{0xA0000001});
  EXPECT_EQ(Records(IOCTL_WAIT_SOFT_BUTTONS, "cancelled").size(), 1u);
  EXPECT_EQ(log_.Count(u"Soft Button Thread Terminating"), 1);
}

TEST_F(SessionThreadTest, FailedSoftButtonRequestEndsOnlyThatThread) {
  Owner owner(Path());
  ASSERT_TRUE(model_.FailNext(kDevice, IOCTL_WAIT_SOFT_BUTTONS));
  owner.StartHid();
  owner.StartSoftButtons();
  ASSERT_TRUE(owner.soft_button_done().Wait(kDeadlineMs));
  EXPECT_EQ(log_.Count(u"Soft Button Thread Terminating"), 1);
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, sim::kReadRequest, kDeadlineMs));
  EXPECT_FALSE(owner.hid_done().Wait(0));
  owner.StopAll();
}

class NoInputReportsTest : public SimTest {
 protected:
  sim::ControllerConfig Config() const override {
    sim::ControllerConfig config;
    config.input_report_length = 0;
    return config;
  }
};

TEST_F(NoInputReportsTest, HidThreadEndsWhileTheSoftButtonThreadRunsOn) {
  Owner owner(Path());
  owner.InstallHandler();
  owner.StartHid();
  owner.StartSoftButtons();
  ASSERT_TRUE(owner.hid_done().Wait(kDeadlineMs));
  EXPECT_EQ(log_.Count(u"HID Thread Terminating"), 1);
  EXPECT_EQ(model_.IssuedCount(kDevice, sim::kReadRequest), 0u);
  ASSERT_TRUE(model_.WaitForOutstanding(kDevice, IOCTL_WAIT_SOFT_BUTTONS, kDeadlineMs));
  EXPECT_EQ(model_.SetSoftButtons(kDevice, 5), 1);
  ASSERT_TRUE(log_.WaitFor(u"Soft Buttons Changed 00000005"));
  ASSERT_TRUE(model_.WaitForIssued(kDevice, IOCTL_WAIT_SOFT_BUTTONS, 2, kDeadlineMs));
  owner.StopAll();
  EXPECT_EQ(owner.Words(), std::vector<uint32_t>{5});
}

}  // namespace
