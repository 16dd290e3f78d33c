// The device-change handler: which records attach, detach and unregister, and in what order.
#include "devices/device_change.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::DeviceChange;
using Kind = platform::DeviceChange::Kind;

class RecordingTarget : public devices::DeviceChangeTarget {
 public:
  void Attach(void* window, const std::u16string& path) override {
    calls.push_back("attach " + std::string(path.begin(), path.end()));
    windows.push_back(window);
  }
  void Detach(void* handle) override { calls.push_back("detach " + Name(handle)); }
  void Unregister(void* notification) override { calls.push_back("unregister " + Name(notification)); }

  static std::string Name(void* pointer) { return std::to_string(reinterpret_cast<uintptr_t>(pointer)); }
  std::vector<std::string> calls;
  std::vector<void*> windows;
};

DeviceChange Record(Kind kind, uint32_t device_type, uintptr_t handle = 0, uintptr_t notification = 0,
                    std::u16string path = u"") {
  DeviceChange change;
  change.kind = kind;
  change.device_type = device_type;
  change.handle = reinterpret_cast<void*>(handle);
  change.notification = reinterpret_cast<void*>(notification);
  change.path = std::move(path);
  return change;
}

TEST(DeviceChange, ArrivalOfInterfaceAttachesItsPathWithTheWindow) {
  RecordingTarget target;
  int window = 0;
  devices::HandleDeviceChange(&window, Record(Kind::kArrival, 5, 0, 0, u"dev#1"), target);
  devices::HandleDeviceChange(&window, Record(Kind::kArrival, 5), target);
  EXPECT_EQ(target.calls, (std::vector<std::string>{"attach dev#1", "attach "}));
  ASSERT_EQ(target.windows.size(), 2u);
  EXPECT_EQ(target.windows[0], &window);
}

TEST(DeviceChange, QueryRemoveThenRemoveCompleteDetachesAndUnregistersFirst) {
  RecordingTarget target;
  devices::HandleDeviceChange(nullptr, Record(Kind::kQueryRemove, 6, 11, 22), target);
  devices::HandleDeviceChange(nullptr, Record(Kind::kRemoveComplete, 6, 11, 22), target);
  EXPECT_EQ(target.calls,
            (std::vector<std::string>{"detach 11", "unregister 22", "detach 11"}));
}

TEST(DeviceChange, RecordsOfOtherDeviceTypesOrKindsChangeNothing) {
  RecordingTarget target;
  devices::HandleDeviceChange(nullptr, Record(Kind::kArrival, 6, 1, 2, u"x"), target);
  devices::HandleDeviceChange(nullptr, Record(Kind::kArrival, 3, 0, 0, u"x"), target);
  devices::HandleDeviceChange(nullptr, Record(Kind::kQueryRemove, 5, 1, 2), target);
  devices::HandleDeviceChange(nullptr, Record(Kind::kRemoveComplete, 5, 1, 2), target);
  devices::HandleDeviceChange(nullptr, Record(Kind::kQueryRemoveFailed, 6, 1, 2), target);
  devices::HandleDeviceChange(nullptr, Record(Kind::kOther, 6, 1, 2), target);
  EXPECT_TRUE(target.calls.empty());
}

}  // namespace
