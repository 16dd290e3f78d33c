// Reads of HKEY_LOCAL_MACHINE string values, and a device's driver key through SetupAPI.
#include "platform/registry.h"

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

namespace platform {
namespace {

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Terminates data of size bytes read into buffer: the text ends at its first NUL; data that fills
// the buffer without one fails, as does data of an odd byte count.
bool TerminateText(char16_t* buffer, uint32_t buffer_units, DWORD size) {
  uint32_t units = size / sizeof(char16_t);
  for (uint32_t i = 0; i < units; ++i) {
    if (buffer[i] == u'\0') return true;
  }
  if (units >= buffer_units) return false;
  buffer[units] = u'\0';
  return true;
}

}  // namespace

bool ReadMachineString(std::u16string_view key_path, std::u16string_view value_name,
                       char16_t* buffer, uint32_t buffer_units) {
  if (buffer == nullptr || buffer_units == 0) return false;
  std::u16string key_text(key_path), name_text(value_name);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(key_text), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  // Read into a scratch copy so that a failed read leaves the caller's buffer alone.
  std::vector<char16_t> scratch(buffer_units);
  DWORD size = buffer_units * sizeof(char16_t);
  LONG status = RegQueryValueExW(key, Wide(name_text), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(scratch.data()), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || !TerminateText(scratch.data(), buffer_units, size)) return false;
  std::copy(scratch.begin(), scratch.end(), buffer);
  return true;
}

bool MachineValueNames(std::u16string_view key_path, std::vector<std::u16string>* names) {
  std::u16string key_text(key_path);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(key_text), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  names->clear();
  std::u16string name(16384, u'\0');  // the longest value name the registry allows, terminated
  for (DWORD index = 0;; ++index) {
    DWORD units = static_cast<DWORD>(name.size());
    const LONG status = RegEnumValueW(key, index, reinterpret_cast<wchar_t*>(name.data()), &units,
                                      nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) break;  // ERROR_NO_MORE_ITEMS at the end
    names->push_back(name.substr(0, units));
  }
  RegCloseKey(key);
  return true;
}

bool DeviceDriverKey(std::u16string_view instance_id, char16_t* buffer, uint32_t buffer_units) {
  if (buffer == nullptr || buffer_units == 0 || instance_id.empty()) return false;
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return false;
  std::u16string id(instance_id);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  std::vector<char16_t> scratch(buffer_units);
  DWORD size = 0;
  bool ok = SetupDiOpenDeviceInfoW(set, Wide(id), nullptr, 0, &device) &&
            SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DRIVER, nullptr,
                                              reinterpret_cast<BYTE*>(scratch.data()),
                                              buffer_units * sizeof(char16_t), &size) &&
            TerminateText(scratch.data(), buffer_units, size);
  SetupDiDestroyDeviceInfoList(set);
  if (ok) std::copy(scratch.begin(), scratch.end(), buffer);
  return ok;
}

}  // namespace platform
