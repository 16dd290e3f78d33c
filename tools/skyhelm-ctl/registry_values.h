// The values setup keeps under HKEY_CURRENT_USER: the log-on start (Run), its Task Manager
// state (StartupApproved), the Settings -> Apps entry (Uninstall) and the log variable
// (Environment). Changes go through a journal that can undo them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace setup {

inline constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kStartupApprovedKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
inline constexpr wchar_t kAppsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Skyhelm";
inline constexpr wchar_t kEnvironmentKey[] = L"Environment";
inline constexpr wchar_t kValueName[] = L"Skyhelm";
inline constexpr wchar_t kLogVariable[] = L"SKYHELM_LOG";

// A string value under HKCU; false when there is none (or it is not a string).
bool ReadString(const wchar_t* key, const wchar_t* name, std::wstring* value);
// The raw text of the Run value; empty when there is none.
std::wstring RunValueText();
// The service's path in a Run value: an absolute path (drive or UNC) ending in \skyhelm.exe,
// with or without quotes around it and nothing after it. False for anything else.
bool ServicePathOfRunValue(const std::wstring& text, std::wstring* path);
// Whether Task Manager's Startup apps has the log-on start disabled (StartupApproved\Run value
// whose first byte is odd).
bool StartupDisabled();

// Changes to HKCU values, each recorded with the value it replaced so that Undo can put it back.
class RegistryJournal {
 public:
  // False, with the message given, when the value cannot be written.
  bool SetString(const wchar_t* key, const wchar_t* name, const std::wstring& value);
  bool SetNumber(const wchar_t* key, const wchar_t* name, DWORD value);
  // Deleting a value that is not there succeeds.
  bool Delete(const wchar_t* key, const wchar_t* name);
  // Puts back every value changed, last first; a key the journal created and left empty goes.
  // False when something could not be put back (said so).
  bool Undo();

 private:
  struct Saved {
    std::wstring key;
    std::wstring name;
    bool existed = false;
    DWORD type = 0;
    std::vector<BYTE> data;
    bool key_created = false;
  };
  bool Save(const wchar_t* key, const wchar_t* name);
  bool Write(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size);
  std::vector<Saved> saved_;
};

// Deletes the Apps entry key. True when it is gone.
bool DeleteAppsEntry();
// Tells running programs that the user's environment changed (new processes of Explorer then
// see the variable).
void BroadcastEnvironmentChange();

}  // namespace setup
