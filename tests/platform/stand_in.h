// Test helpers: a private temporary root folder ($SKYHELM_ROOT on Linux) and machine registry
// values written the platform's way (files on Linux, HKLM\Software\SkyhelmTest on Windows).
#pragma once

#include <filesystem>
#include <string>

namespace platform::testing {

// Creates a fresh empty temporary folder and, on Linux, points $SKYHELM_ROOT at it; removes it
// again on destruction.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  const std::filesystem::path& path() const { return path_; }
  std::u16string u16() const { return path_.u16string(); }

 private:
  std::filesystem::path path_;
};

// The key below which tests write: Software\SkyhelmTest.
inline constexpr char16_t kTestKey[] = u"Software\\SkyhelmTest";

// Writes a string value below HKEY_LOCAL_MACHINE exactly as given (no terminator is added).
bool WriteMachineValue(const std::u16string& key, const std::u16string& name,
                       const std::u16string& data);
// Removes the test key with everything below it.
void RemoveTestKey();

}  // namespace platform::testing
