// Test helpers for what differs between the platforms: environment variables, the fresh root
// folder that stands in for the Windows locations on Linux, and machine registry values.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/sync.h"
#include "platform/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace test_env {

namespace fs = std::filesystem;

#ifdef _WIN32
inline void SetVariable(const char* name, const char* value) { _putenv_s(name, value); }
inline void ClearVariable(const char* name) { _putenv_s(name, ""); }

inline void WriteMachineString(const std::u16string& key, const std::u16string& value,
                               const std::u16string& text) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(key.c_str()), 0,
                      nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExW(handle, reinterpret_cast<const wchar_t*>(value.c_str()), 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
  RegCloseKey(handle);
}

inline void RemoveMachineString(const std::u16string& key, const std::u16string& value) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(key.c_str()), 0,
                    KEY_WRITE, &handle) != ERROR_SUCCESS) {
    return;
  }
  RegDeleteValueW(handle, reinterpret_cast<const wchar_t*>(value.c_str()));
  RegCloseKey(handle);
}
#else
inline void SetVariable(const char* name, const char* value) { setenv(name, value, 1); }
inline void ClearVariable(const char* name) { unsetenv(name); }

// registry/HKLM/<key, '/' for '\'>/<value>: a file holding the text as UTF-8.
inline fs::path MachineValueFile(const std::u16string& key, const std::u16string& value) {
  std::string relative = platform::ToUtf8(key);
  for (char& c : relative) c = c == '\\' ? '/' : c;
  return fs::path(std::getenv("SKYHELM_ROOT")) / "registry" / "HKLM" / relative /
         platform::ToUtf8(value);
}

inline void WriteMachineString(const std::u16string& key, const std::u16string& value,
                               const std::u16string& text) {
  const fs::path file = MachineValueFile(key, value);
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << platform::ToUtf8(text);
}

inline void RemoveMachineString(const std::u16string& key, const std::u16string& value) {
  std::error_code ignored;
  fs::remove(MachineValueFile(key, value), ignored);
}
#endif

// A new empty folder with documents/, windows/ and registry/ below it, made $SKYHELM_ROOT.
inline fs::path FreshRoot() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path root = fs::temp_directory_path() /
                        ("skyhelm-test-" + std::to_string(platform::CurrentProcessId()) + "-" +
                         std::to_string(stamp) + "-" + std::to_string(++counter));
  for (const char* folder : {"documents", "windows", "registry"}) {
    fs::create_directories(root / folder);
  }
  SetVariable("SKYHELM_ROOT", root.string().c_str());
  return root;
}

// Sets or clears SKYHELM_DISPLAY_STRINGS for its lifetime.
class DisplayStrings {
 public:
  explicit DisplayStrings(bool on) {
    if (on) {
      SetVariable("SKYHELM_DISPLAY_STRINGS", "1");
    } else {
      ClearVariable("SKYHELM_DISPLAY_STRINGS");
    }
  }
  ~DisplayStrings() { ClearVariable("SKYHELM_DISPLAY_STRINGS"); }
  DisplayStrings(const DisplayStrings&) = delete;
  DisplayStrings& operator=(const DisplayStrings&) = delete;
};

}  // namespace test_env
