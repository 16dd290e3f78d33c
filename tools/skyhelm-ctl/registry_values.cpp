// The HKCU values of skyhelm-ctl.
#include "registry_values.h"

#include <cwctype>

#include "folders.h"

namespace ctl {

bool ReadString(const wchar_t* key, const wchar_t* name, std::wstring* value) {
  DWORD size = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, text.data(), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  text.resize(wcsnlen(text.c_str(), text.size()));
  *value = text;
  return true;
}

std::wstring RunValueText() {
  std::wstring text;
  ReadString(kRunKey, kValueName, &text);
  return text;
}

bool ServicePathOfRunValue(const std::wstring& text, std::wstring* path) {
  std::wstring candidate = text;
  if (!candidate.empty() && candidate.front() == L'"') {
    if (candidate.size() < 2 || candidate.back() != L'"') return false;
    candidate = candidate.substr(1, candidate.size() - 2);
  }
  if (candidate.find(L'"') != std::wstring::npos) return false;
  const bool drive = candidate.size() > 3 && std::iswalpha(candidate[0]) && candidate[1] == L':' &&
                     candidate[2] == L'\\';
  const bool unc = candidate.size() > 2 && candidate[0] == L'\\' && candidate[1] == L'\\';
  constexpr wchar_t kTail[] = L"\\skyhelm.exe";
  const size_t tail = sizeof kTail / sizeof kTail[0] - 1;
  if (!(drive || unc) || candidate.size() <= tail ||
      !SameText(candidate.substr(candidate.size() - tail), kTail)) {
    return false;
  }
  *path = candidate;
  return true;
}

bool StartupDisabled() {
  BYTE data[64];
  DWORD size = sizeof data;
  return RegGetValueW(HKEY_CURRENT_USER, kStartupApprovedKey, kValueName, RRF_RT_REG_BINARY,
                      nullptr, data, &size) == ERROR_SUCCESS &&
         size > 0 && (data[0] & 1) != 0;
}

}  // namespace ctl
