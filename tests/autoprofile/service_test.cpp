// The automatic-profile service with controllers of the simulated driver: the clutch of one
// controller never waits for another's action, and an engage that comes while a controller is
// being attached defers its attach action.
#include "autoprofile/service.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "devices/device_manager.h"
#include "driver/control_codes.h"
#include "sim_test_support.h"

namespace autoprofile {
namespace {

constexpr uint32_t kHeldMs = 5000;  // how long the driver holds a deferred request

class AutoprofileServiceTest : public sim_test::SimulatedDriver {
 protected:
  AutoprofileServiceTest() {
    folder_ = sim_test::SharedRoot().path() / ("autoprofile-" + std::to_string(++runs_));
    std::filesystem::create_directories(folder_);
    std::ofstream(folder_ / "Game.pr0") << "[profile]";
  }
  ~AutoprofileServiceTest() override {
    for (const devices::AttachedDevice& device : devices::AttachedDevices()) {
      devices::DetachDevice(devices::NotificationKey(device.device));
    }
    service_.Stop();
  }

  // Starts the service with rules whose one rule (with rule_keys) loads Game.pr0.
  void Start(const std::string& rule_keys) {
    const std::string profile = (folder_ / "Game.pr0").generic_string();
    std::ofstream(folder_ / "rules.toml")
        << "delay_ms = 0\n[[rule]]\n" << rule_keys << "\nprofile = '" << profile << "'\n";
    ProgramSource source;
    source.running = &Running;
    source.context = this;
    source.watch_exits = false;
    ASSERT_TRUE(service_.Start((folder_ / "rules.toml").u16string(), source));
  }

  // Engages (or releases) the controller's clutch; returns once its clutch thread handled it.
  bool Clutch(const std::string& name, bool engaged) {
    if (!model_.WaitForOutstanding(name, IOCTL_WAIT_CLUTCH_EVENT, sim_test::kDeadlineMs)) return false;
    const uint64_t issued = model_.IssuedCount(name, IOCTL_WAIT_CLUTCH_EVENT);
    model_.RaiseClutchEvent(name, engaged ? 1 : 0, 0);
    return model_.WaitForIssued(name, IOCTL_WAIT_CLUTCH_EVENT, issued + 1, sim_test::kDeadlineMs);
  }

  static platform::ProgramInfo Game() {
    platform::ProgramInfo game;
    game.pid = 42;
    game.path = u"/games/Game.exe";
    game.title = u"Game";
    return game;
  }

  // The running programs: the game. Called on the attaching thread while engage_pad_ is set, it
  // first engages the clutch of "pad", whose clutch thread runs by then.
  static bool Running(void* context, std::vector<platform::ProgramInfo>* out) {
    auto* self = static_cast<AutoprofileServiceTest*>(context);
    if (std::this_thread::get_id() == self->test_thread_ && self->engage_pad_.exchange(false)) {
      self->engaged_in_attach_ = self->Clutch("pad", true);
    }
    out->push_back(Game());
    return true;
  }

  static inline int runs_ = 0;
  std::filesystem::path folder_;
  Service service_;
  const std::thread::id test_thread_ = std::this_thread::get_id();
  std::atomic<bool> engage_pad_{false};
  bool engaged_in_attach_ = false;
};

TEST_F(AutoprofileServiceTest, AnActionHeldByTheDriverDelaysNoOtherControllersClutch) {
  sim::ControllerConfig panel_config;
  panel_config.device_type = {0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};
  const std::u16string stick = AddController("stick");
  const std::u16string panel = AddController("panel", panel_config);
  Start("program = \"Game.exe\"\ncontroller = \"" +
        platform::ToUtf8(platform::FormatGuid(sim::kDefaultDeviceType)) + "\"");
  devices::AttachDevice(nullptr, stick);
  devices::AttachDevice(nullptr, panel);
  ASSERT_TRUE(service_.WaitQuiet(sim_test::kDeadlineMs));
  // The stick's load is held by the driver while the panel's clutch is engaged and released.
  model_.Defer("stick", IOCTL_PROFILE_LOAD, IOCTL_WAIT_PROFILE_CHANGE, kHeldMs);
  service_.OnForeground(Game());
  ASSERT_TRUE(model_.WaitForIssued("stick", IOCTL_PROFILE_GET_PATH, 1, sim_test::kDeadlineMs));
  ASSERT_TRUE(Clutch("panel", true));
  ASSERT_TRUE(Clutch("panel", false));
  EXPECT_EQ(model_.IssuedCount("stick", IOCTL_PROFILE_LOAD), 0u);
  ASSERT_TRUE(service_.WaitQuiet(kHeldMs + sim_test::kDeadlineMs));
  EXPECT_EQ(model_.IssuedCount("stick", IOCTL_PROFILE_ACTIVATE), 1u);
  EXPECT_EQ(model_.IssuedCount("panel", IOCTL_PROFILE_LOAD), 0u);
}

TEST_F(AutoprofileServiceTest, AnEngageWhileTheControllerIsBeingAttachedDefersTheAttachAction) {
  const std::u16string pad = AddController("pad");
  Start("program = \"Game.exe\"\ntrigger = \"running\"");
  ASSERT_TRUE(service_.WaitQuiet(sim_test::kDeadlineMs));
  engage_pad_ = true;
  devices::AttachDevice(nullptr, pad);
  ASSERT_TRUE(engaged_in_attach_);
  ASSERT_TRUE(service_.WaitQuiet(sim_test::kDeadlineMs));
  EXPECT_EQ(model_.IssuedCount("pad", IOCTL_PROFILE_LOAD), 0u);
  ASSERT_TRUE(Clutch("pad", false));
  ASSERT_TRUE(service_.WaitQuiet(sim_test::kDeadlineMs));
  EXPECT_EQ(model_.IssuedCount("pad", IOCTL_PROFILE_ACTIVATE), 1u);
}

}  // namespace
}  // namespace autoprofile
