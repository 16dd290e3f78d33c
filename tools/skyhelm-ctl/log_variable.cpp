// The user variable SKYHELM_LOG.
#include "log_variable.h"

namespace ctl {

LSTATUS SetLogVariable(const std::wstring& value) {
  LSTATUS status = ERROR_SUCCESS;
  if (value.empty()) {
    status = RegDeleteKeyValueW(HKEY_CURRENT_USER, kEnvironmentKey, kLogVariable);
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
  } else {
    status = RegSetKeyValueW(HKEY_CURRENT_USER, kEnvironmentKey, kLogVariable, REG_SZ, value.c_str(),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  if (status == ERROR_SUCCESS) {
    // New processes of Explorer then see the variable.
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                        reinterpret_cast<LPARAM>(L"Environment"), SMTO_ABORTIFHUNG, 2000, &result);
  }
  return status;
}

}  // namespace ctl
