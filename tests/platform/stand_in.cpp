// Test helpers: temporary roots and registry values, per platform.
#include "stand_in.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "platform/sync.h"
#include "platform/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform::testing {
namespace {
std::atomic<int> g_counter{0};
}

TempRoot::TempRoot() {
  std::filesystem::path base = std::filesystem::temp_directory_path();
  path_ = base / ("skyhelm-test-" + std::to_string(CurrentProcessId()) + "-" +
                  std::to_string(g_counter.fetch_add(1)));
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  std::filesystem::create_directories(path_);
#ifndef _WIN32
  setenv("SKYHELM_ROOT", path_.c_str(), 1);
#endif
}

TempRoot::~TempRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
#ifndef _WIN32
  unsetenv("SKYHELM_ROOT");
#endif
}

#ifdef _WIN32

bool WriteMachineValue(const std::u16string& key, const std::u16string& name,
                       const std::u16string& data) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(key.c_str()), 0,
                      nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LONG status = RegSetValueExW(handle, reinterpret_cast<const wchar_t*>(name.c_str()), 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(data.data()),
                               static_cast<DWORD>(data.size() * sizeof(char16_t)));
  RegCloseKey(handle);
  return status == ERROR_SUCCESS;
}

void RemoveTestKey() {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(kTestKey));
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(kTestKey));
}

#else

bool WriteMachineValue(const std::u16string& key, const std::u16string& name,
                       const std::u16string& data) {
  const char* root = std::getenv("SKYHELM_ROOT");
  if (root == nullptr) return false;
  std::string relative = ToUtf8(key);
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  std::filesystem::path folder = std::filesystem::path(root) / "registry" / "HKLM" / relative;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  std::ofstream file(folder / ToUtf8(name), std::ios::binary);
  file << ToUtf8(data);
  return static_cast<bool>(file);
}

void RemoveTestKey() {
  const char* root = std::getenv("SKYHELM_ROOT");
  if (root == nullptr) return;
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(root) / "registry" / "HKLM" / "Software" /
                                  "SkyhelmTest",
                              ignored);
}

#endif

}  // namespace platform::testing
