// The service's process entry on Windows: named mutex guard, window class, message-only window
// and message loop.
#include "app/process_entry.h"

#include <windows.h>
#include <dbt.h>

#include <cstring>

#include "app/win32/message_window.h"
#include "autoprofile/service.h"
#include "devices/device_change.h"
#include "devices/device_manager.h"
#include "log/log.h"
#include "platform/file_watch.h"
#include "platform/instance.h"
#include "platform/programs.h"

namespace app {

platform::DeviceChange DecodeDeviceChange(WPARAM wparam, LPARAM lparam) {
  using Kind = platform::DeviceChange::Kind;
  platform::DeviceChange change;
  switch (wparam) {
    case DBT_DEVICEARRIVAL: change.kind = Kind::kArrival; break;
    case DBT_DEVICEQUERYREMOVE: change.kind = Kind::kQueryRemove; break;
    case DBT_DEVICEQUERYREMOVEFAILED: change.kind = Kind::kQueryRemoveFailed; break;
    case DBT_DEVICEREMOVEPENDING: change.kind = Kind::kRemovePending; break;
    case DBT_DEVICEREMOVECOMPLETE: change.kind = Kind::kRemoveComplete; break;
    default: return change;
  }
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
  if (header == nullptr) {
    change.kind = Kind::kOther;
    return change;
  }
  change.device_type = header->dbch_devicetype;
  if (change.device_type == DBT_DEVTYP_DEVICEINTERFACE) {
    const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lparam);
    change.path = reinterpret_cast<const char16_t*>(broadcast->dbcc_name);
    const GUID& interface_class = broadcast->dbcc_classguid;
    change.interface_class.data1 = interface_class.Data1;
    change.interface_class.data2 = interface_class.Data2;
    change.interface_class.data3 = interface_class.Data3;
    std::memcpy(change.interface_class.data4, interface_class.Data4, sizeof interface_class.Data4);
  } else if (change.device_type == DBT_DEVTYP_HANDLE) {
    const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lparam);
    change.handle = broadcast->dbch_handle;
    change.notification = broadcast->dbch_hdevnotify;
  }
  return change;
}

LRESULT CALLBACK MessageWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_DEVICECHANGE:
      // A query-remove is always granted: the device is detached already at the query. TRUE is
      // the documented answer to every device-change message (BROADCAST_QUERY_DENY would veto).
      devices::HandleDeviceChange(window, DecodeDeviceChange(wparam, lparam),
                                  devices::DeviceManagerTarget());
      return TRUE;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

void RegisterMessageWindowClass(HINSTANCE instance) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = MessageWindowProc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = reinterpret_cast<const wchar_t*>(kInstanceName);
  RegisterClassExW(&window_class);
}

HWND CreateMessageWindow(HINSTANCE instance) {
  return CreateWindowExW(0, reinterpret_cast<const wchar_t*>(kInstanceName), nullptr, 0, 0, 0, 0,
                         0, HWND_MESSAGE, nullptr, instance, nullptr);
}

void RunMessageLoop() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) == 1) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

namespace {

void OnForeground(void* service, const platform::ProgramInfo& front) {
  static_cast<autoprofile::Service*>(service)->OnForeground(front);
}

// Automatic profiles: the rules worker, started before the controllers are discovered. Left to
// process exit, as everything else is.
autoprofile::Service* StartAutomaticProfiles() {
  auto* service = new autoprofile::Service;
  return service->Start(platform::RulesFilePath()) ? service : nullptr;
}

// The watch of the window in front, on this thread, whose message loop delivers its hook and
// timer; started once the message window exists, so that the window is the first thing this
// process asks of the window system, and before the controllers are discovered, so that those
// present at start see the program really in front (its first report is made at once).
void WatchForeground(autoprofile::Service* service) {
  if (service == nullptr) return;
  auto* front = new platform::ForegroundWatch(&OnForeground, service);
  if (!front->Start()) {
    service->SetFocusAvailable(false);
  } else if (front->Polling()) {
    LogMessage(kLogEvent, kLogCategory,
               u"Auto Profile: running under Wine, which reports no foreground changes: the window "
               u"in front is compared with the last one every 250 ms");
  }
}

}  // namespace

int ProcessEntry(void* instance) {
  if (platform::AcquireInstanceGuard(kInstanceName) == platform::InstanceGuard::kAlreadyRunning) {
    return 0;
  }
  if (InstallLogReceiverFromEnvironment()) OpenLogFile();
  const HINSTANCE module = static_cast<HINSTANCE>(instance);
  RegisterMessageWindowClass(module);
  autoprofile::Service* autoprofiles = StartAutomaticProfiles();
  HWND window = CreateMessageWindow(module);
  if (IsWindow(window) != TRUE) return 0;
  WatchForeground(autoprofiles);
  devices::DiscoverDevices(window);
  RunMessageLoop();
  // Nothing is torn down: attached devices, the mutex and the window are left to process exit.
  return 0;
}

}  // namespace app
