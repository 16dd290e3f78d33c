// The values skyhelm-ctl reads and writes under HKEY_CURRENT_USER: the install folder the
// package records (Software\Skyhelm), the log-on start (Run) and its Task Manager state
// (StartupApproved); the log variable (Environment) is in log_variable.h.
#pragma once

#include <windows.h>

#include <string>

#include "log_variable.h"

namespace ctl {

inline constexpr wchar_t kInstallKey[] = L"Software\\Skyhelm";
inline constexpr wchar_t kInstallFolderValue[] = L"InstallFolder";
inline constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kStartupApprovedKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
inline constexpr wchar_t kValueName[] = L"Skyhelm";

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

}  // namespace ctl
