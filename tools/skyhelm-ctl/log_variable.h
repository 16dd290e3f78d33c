// The user variable SKYHELM_LOG (HKCU\Environment) that turns the service's log file on: set and
// removed by skyhelm-ctl log, and removed by the installer package's uninstall.
#pragma once

#include <windows.h>

#include <string>

namespace ctl {

inline constexpr wchar_t kEnvironmentKey[] = L"Environment";
inline constexpr wchar_t kLogVariable[] = L"SKYHELM_LOG";

// Sets (or, with an empty value, removes) the user variable SKYHELM_LOG and tells running
// programs that the environment changed. The status code of the registry call (success when
// there was nothing to remove).
LSTATUS SetLogVariable(const std::wstring& value);

}  // namespace ctl
