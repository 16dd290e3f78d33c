// Device interfaces on Windows: SetupAPI enumeration and RegisterDeviceNotificationW.
#include "platform/devices.h"

#include <windows.h>
#include <dbt.h>
#include <setupapi.h>

#include <cstring>
#include <vector>

namespace platform {
namespace {

GUID ToWin(const Guid& guid) {
  GUID out;
  static_assert(sizeof out == sizeof guid);
  std::memcpy(&out, &guid, sizeof out);
  return out;
}

// The device path of member index of the set, or false when it is skipped.
bool InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interface_data, std::u16string* path) {
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailW(set, interface_data, nullptr, 0, &required, nullptr);
  if (required == 0) return false;
  std::vector<unsigned char> buffer(required, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  if (!SetupDiGetDeviceInterfaceDetailW(set, interface_data, detail, required, nullptr, &info)) {
    return false;
  }
  *path = reinterpret_cast<const char16_t*>(detail->DevicePath);
  return true;
}

}  // namespace

std::vector<std::u16string> EnumerateInterfaces(const Guid& interface_class) {
  std::vector<std::u16string> paths;
  const GUID class_guid = ToWin(interface_class);
  HDEVINFO set =
      SetupDiGetClassDevsW(&class_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA interface_data{};
  interface_data.cbSize = sizeof interface_data;
  for (DWORD index = 0;
       SetupDiEnumDeviceInterfaces(set, nullptr, &class_guid, index, &interface_data); ++index) {
    std::u16string path;
    if (InterfacePath(set, &interface_data, &path)) paths.push_back(std::move(path));
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

void* RegisterInterfaceArrivals(void* recipient, const Guid& interface_class) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = ToWin(interface_class);
  return RegisterDeviceNotificationW(static_cast<HWND>(recipient), &filter,
                                     DEVICE_NOTIFY_WINDOW_HANDLE);
}

void* RegisterHandleRemoval(void* recipient, void* native_handle) {
  DEV_BROADCAST_HANDLE filter{};
  filter.dbch_size = sizeof filter;
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = static_cast<HANDLE>(native_handle);
  return RegisterDeviceNotificationW(static_cast<HWND>(recipient), &filter,
                                     DEVICE_NOTIFY_WINDOW_HANDLE);
}

void UnregisterNotification(void* notification) {
  UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(notification));
}

}  // namespace platform
