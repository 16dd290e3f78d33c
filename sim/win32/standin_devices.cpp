// Creating, installing and removing the stand-in driver's devices with SetupAPI.
#include "sim/win32/standin_devices.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cwchar>
#include <filesystem>

namespace sim {
namespace {

// {4d36e97d-e325-11ce-bfc1-08002be10318}: the System device setup class.
constexpr GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce,
                               {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr wchar_t kHardwareIds[] = L"root\\skyhelmsim\0";
constexpr wchar_t kInstancePrefix[] = L"ROOT\\SKYHELMSIM\\";
// Which build of the driver's files the system holds: "<size>-<write time>" of the .sys file.
constexpr wchar_t kPackageKey[] = L"Software\\Skyhelm Simulator";
constexpr wchar_t kPackageValue[] = L"Package";

std::string Failure(const char* what) {
  return std::string(what) + " (error " + std::to_string(GetLastError()) + ")";
}

// The build of the driver's files beside inf, or empty when they cannot be read.
std::wstring BuildOf(const std::wstring& inf) {
  const std::filesystem::path sys = std::filesystem::path(inf).parent_path() / L"skyhelmsim.sys";
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(sys.c_str(), GetFileExInfoStandard, &data)) return L"";
  return std::to_wstring(data.nFileSizeLow) + L"-" + std::to_wstring(data.ftLastWriteTime.dwHighDateTime) +
         L"." + std::to_wstring(data.ftLastWriteTime.dwLowDateTime);
}

std::wstring InstalledBuild() {
  wchar_t text[64] = {};
  DWORD size = sizeof text - sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kPackageKey, kPackageValue, RRF_RT_REG_SZ, nullptr, text,
                   &size) != ERROR_SUCCESS) {
    return L"";
  }
  return text;
}

void RecordBuild(const std::wstring& build) {
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, kPackageKey, kPackageValue, REG_SZ, build.c_str(),
                  static_cast<DWORD>((build.size() + 1) * sizeof(wchar_t)));
}

// Installs the driver of inf on this one device: the best driver of that .inf alone, with its
// files copied only when asked.
bool InstallOn(HDEVINFO set, SP_DEVINFO_DATA* device, const std::wstring& inf, bool copy_files,
               std::string* error) {
  SP_DEVINSTALL_PARAMS_W params{};
  params.cbSize = sizeof params;
  if (!SetupDiGetDeviceInstallParamsW(set, device, &params)) {
    return *error = Failure("SetupDiGetDeviceInstallParams failed"), false;
  }
  if (inf.size() >= MAX_PATH) return *error = "the driver package's path is too long", false;
  std::wcsncpy(params.DriverPath, inf.c_str(), MAX_PATH - 1);
  params.Flags |= DI_ENUMSINGLEINF;
  if (!copy_files) params.Flags |= DI_NOFILECOPY;
  if (!SetupDiSetDeviceInstallParamsW(set, device, &params) ||
      !SetupDiBuildDriverInfoList(set, device, SPDIT_COMPATDRIVER) ||
      !SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV, set, device) ||
      !SetupDiCallClassInstaller(DIF_INSTALLDEVICE, set, device)) {
    return *error = Failure("the driver install was refused"), false;
  }
  return true;
}

}  // namespace

bool CreateStandInDevice(const std::wstring& inf, const std::wstring& name,
                         std::wstring* instance, std::string* error) {
  const std::wstring build = BuildOf(inf);
  if (build.empty()) return *error = "no driver beside the package's .inf", false;
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return *error = Failure("SetupDiCreateDeviceInfoList failed"), false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  wchar_t id[MAX_DEVICE_ID_LEN] = {};
  bool ok = SetupDiCreateDeviceInfoW(set, (kInstancePrefix + name).c_str(), &kSystemClass,
                                     L"Simulated controller", nullptr, 0, &device) &&
            SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                              reinterpret_cast<const BYTE*>(kHardwareIds),
                                              sizeof kHardwareIds) &&
            SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device) &&
            SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, nullptr);
  if (!ok) {
    *error = Failure("cannot create a device");
  } else {
    const bool copy_files = InstalledBuild() != build;
    ok = InstallOn(set, &device, inf, copy_files, error);
    if (ok && copy_files) RecordBuild(build);
    if (!ok) SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
  }
  SetupDiDestroyDeviceInfoList(set);
  if (ok) *instance = id;
  return ok;
}

bool RemoveStandInDevice(const std::wstring& instance) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  const bool ok = SetupDiOpenDeviceInfoW(set, instance.c_str(), nullptr, 0, &device) &&
                  SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

int RemoveStandInDevices() {
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return 0;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  int removed = 0;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    wchar_t id[MAX_DEVICE_ID_LEN] = {};
    if (!SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, nullptr) ||
        _wcsnicmp(id, kInstancePrefix, wcslen(kInstancePrefix)) != 0) {
      continue;
    }
    if (SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) ++removed;
  }
  SetupDiDestroyDeviceInfoList(set);
  return removed;
}

}  // namespace sim
