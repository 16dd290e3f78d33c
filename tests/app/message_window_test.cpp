// The message-only window on Windows: decoding of device-change messages, creation, attach and detach of a controller through its messages, and the end of the message
// loop through WM_DESTROY.
#ifdef _WIN32

#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/win32/message_window.h"
#include "devices/device_manager.h"
#include "driver/control_codes.h"
#include "sim/in_process.h"
#include "sim/model.h"

namespace {

using Kind = platform::DeviceChange::Kind;

std::vector<unsigned char> InterfaceBroadcast(const wchar_t* name) {
  const size_t name_bytes = (wcslen(name) + 1) * sizeof(wchar_t);
  std::vector<unsigned char> bytes(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + name_bytes);
  auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
  broadcast->dbcc_size = static_cast<DWORD>(bytes.size());
  broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  std::memcpy(&broadcast->dbcc_classguid, &devices::kControllerInterfaceClass,
              sizeof broadcast->dbcc_classguid);
  std::memcpy(broadcast->dbcc_name, name, name_bytes);
  return bytes;
}

TEST(MessageWindow, DecodesArrivalOfAnInterfaceWithItsPath) {
  std::vector<unsigned char> bytes = InterfaceBroadcast(L"\\\\?\\HID#X#1#{guid}");
  const platform::DeviceChange change =
      app::DecodeDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(bytes.data()));
  EXPECT_EQ(change.kind, Kind::kArrival);
  EXPECT_EQ(change.device_type, 5u);
  EXPECT_EQ(change.path, u"\\\\?\\HID#X#1#{guid}");
  EXPECT_EQ(change.interface_class, devices::kControllerInterfaceClass);
}

TEST(MessageWindow, DecodesHandleRemovalsWithHandleAndNotification) {
  DEV_BROADCAST_HANDLE broadcast{};
  broadcast.dbch_size = sizeof broadcast;
  broadcast.dbch_devicetype = DBT_DEVTYP_HANDLE;
  broadcast.dbch_handle = reinterpret_cast<HANDLE>(0x1234);
  broadcast.dbch_hdevnotify = reinterpret_cast<HDEVNOTIFY>(0x5678);
  const LPARAM lparam = reinterpret_cast<LPARAM>(&broadcast);
  for (auto [wparam, kind] : {std::pair{WPARAM{DBT_DEVICEQUERYREMOVE}, Kind::kQueryRemove},
                              std::pair{WPARAM{DBT_DEVICEREMOVECOMPLETE}, Kind::kRemoveComplete},
                              std::pair{WPARAM{DBT_DEVICEQUERYREMOVEFAILED}, Kind::kQueryRemoveFailed},
                              std::pair{WPARAM{DBT_DEVICEREMOVEPENDING}, Kind::kRemovePending}}) {
    const platform::DeviceChange change = app::DecodeDeviceChange(wparam, lparam);
    EXPECT_EQ(change.kind, kind);
    EXPECT_EQ(change.device_type, 6u);
    EXPECT_EQ(change.handle, reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(change.notification, reinterpret_cast<void*>(0x5678));
  }
}

TEST(MessageWindow, OtherMessagesAndMissingRecordsDecodeAsNothing) {
  EXPECT_EQ(app::DecodeDeviceChange(DBT_DEVNODES_CHANGED, 0).kind, Kind::kOther);
  EXPECT_EQ(app::DecodeDeviceChange(DBT_DEVICEARRIVAL, 0).kind, Kind::kOther);
}

bool g_loop_timed_out = false;

void CALLBACK LoopDeadline(HWND, UINT, UINT_PTR, DWORD) {
  g_loop_timed_out = true;
  PostQuitMessage(1);
}

TEST(MessageWindow, CreatedAttachesThroughItsMessagesAndEndsThroughDestroy) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  app::RegisterMessageWindowClass(instance);
  HWND window = app::CreateMessageWindow(instance);
  ASSERT_EQ(IsWindow(window), TRUE);
  EXPECT_TRUE(devices::AttachedDevices().empty());  // no controller present under test

  // Device changes the window does not act on, or that name nothing attached, change nothing.
  // Every device-change message is answered TRUE, which grants a query-remove.
  std::vector<unsigned char> arrival = InterfaceBroadcast(L"\\\\?\\NOSUCH#DEVICE#0#{x}");
  EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                         reinterpret_cast<LPARAM>(arrival.data())), TRUE);
  EXPECT_TRUE(devices::AttachedDevices().empty());

  // The arrival of a controller that opens (an in-process simulated one) attaches it; a removal
  // record naming a registration of no entry leaves it; the removal of its interface detaches it.
  sim::DriverModel model;
  sim::InProcessTransport transport(model);
  struct DetachAll {  // before the model goes, whatever failed
    ~DetachAll() {
      for (const devices::AttachedDevice& device : devices::AttachedDevices()) {
        devices::DetachDevice(devices::NotificationKey(device.device));
      }
    }
  } detach_all;
  ASSERT_TRUE(model.Declare("window") && model.Attach("window"));
  const std::u16string path = sim::DriverModel::InterfacePath("window");
  const std::wstring wide_path(path.begin(), path.end());
  std::vector<unsigned char> present = InterfaceBroadcast(wide_path.c_str());
  EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                         reinterpret_cast<LPARAM>(present.data())), TRUE);
  ASSERT_EQ(devices::AttachedDevices().size(), 1u);
  EXPECT_EQ(devices::AttachedDevices()[0].path, path);
  EXPECT_TRUE(model.WaitForOutstanding("window", IOCTL_WAIT_CLUTCH_EVENT, 10000));
  DEV_BROADCAST_HANDLE removal{};
  removal.dbch_size = sizeof removal;
  removal.dbch_devicetype = DBT_DEVTYP_HANDLE;
  removal.dbch_handle = reinterpret_cast<HANDLE>(0x4321);
  removal.dbch_hdevnotify = reinterpret_cast<HDEVNOTIFY>(0x8765);
  EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE,
                         reinterpret_cast<LPARAM>(&removal)), TRUE);
  EXPECT_EQ(devices::AttachedDevices().size(), 1u);
  EXPECT_TRUE(model.Detach("window"));
  EXPECT_EQ(SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                         reinterpret_cast<LPARAM>(present.data())), TRUE);
  EXPECT_TRUE(devices::AttachedDevices().empty());

  g_loop_timed_out = false;
  const UINT_PTR timer = SetTimer(nullptr, 0, 5000, LoopDeadline);
  DestroyWindow(window);
  app::RunMessageLoop();
  KillTimer(nullptr, timer);
  EXPECT_FALSE(g_loop_timed_out);
  EXPECT_EQ(IsWindow(window), FALSE);
}

}  // namespace

#endif  // _WIN32
