// HKCU values of setup and their journal.
#include "registry_values.h"

#include <cwctype>

#include "console.h"
#include "folders.h"

namespace setup {
namespace {

bool KeyExists(const wchar_t* key) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
  RegCloseKey(opened);
  return true;
}

bool KeyIsEmpty(const wchar_t* key) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
  DWORD subkeys = 0;
  DWORD values = 0;
  const bool read = RegQueryInfoKeyW(opened, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                     &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(opened);
  return read && subkeys == 0 && values == 0;
}

std::wstring Where(const std::wstring& key, const std::wstring& name) {
  return L"HKCU\\" + key + L", value " + name;
}

}  // namespace

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

bool RegistryJournal::Save(const wchar_t* key, const wchar_t* name) {
  Saved saved;
  saved.key = key;
  saved.name = name;
  saved.key_created = !KeyExists(key);
  DWORD size = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY | RRF_NOEXPAND, &saved.type, nullptr,
                   &size) == ERROR_SUCCESS) {
    saved.data.resize(size);
    if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY | RRF_NOEXPAND, &saved.type,
                     saved.data.data(), &size) != ERROR_SUCCESS) {
      Complain(L"cannot read " + Where(key, name));
      return false;
    }
    saved.data.resize(size);
    saved.existed = true;
  }
  saved_.push_back(std::move(saved));
  return true;
}

bool RegistryJournal::Write(const wchar_t* key, const wchar_t* name, DWORD type, const void* data,
                            DWORD size) {
  if (!Save(key, name)) return false;
  const LSTATUS status = RegSetKeyValueW(HKEY_CURRENT_USER, key, name, type, data, size);
  if (status != ERROR_SUCCESS) {
    Complain(L"cannot write " + Where(key, name) + L": " + ErrorText(static_cast<DWORD>(status)));
    return false;
  }
  return true;
}

bool RegistryJournal::SetString(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
  return Write(key, name, REG_SZ, value.c_str(),
               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool RegistryJournal::SetNumber(const wchar_t* key, const wchar_t* name, DWORD value) {
  return Write(key, name, REG_DWORD, &value, sizeof value);
}

bool RegistryJournal::Delete(const wchar_t* key, const wchar_t* name) {
  if (!Save(key, name)) return false;
  const LSTATUS status = RegDeleteKeyValueW(HKEY_CURRENT_USER, key, name);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    Complain(L"cannot remove " + Where(key, name) + L": " + ErrorText(static_cast<DWORD>(status)));
    return false;
  }
  return true;
}

bool RegistryJournal::Undo() {
  bool all = true;
  for (auto saved = saved_.rbegin(); saved != saved_.rend(); ++saved) {
    LSTATUS status = ERROR_SUCCESS;
    if (saved->existed) {
      status = RegSetKeyValueW(HKEY_CURRENT_USER, saved->key.c_str(), saved->name.c_str(),
                               saved->type, saved->data.data(),
                               static_cast<DWORD>(saved->data.size()));
    } else {
      status = RegDeleteKeyValueW(HKEY_CURRENT_USER, saved->key.c_str(), saved->name.c_str());
      if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) {
      Complain(L"could not put back " + Where(saved->key, saved->name) + L": " +
               ErrorText(static_cast<DWORD>(status)));
      all = false;
    }
    if (saved->key_created && KeyIsEmpty(saved->key.c_str())) {
      RegDeleteKeyW(HKEY_CURRENT_USER, saved->key.c_str());
    }
  }
  saved_.clear();
  return all;
}

bool DeleteAppsEntry() {
  const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, kAppsKey);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    Complain(L"cannot remove the Apps entry HKCU\\" + std::wstring(kAppsKey) + L": " +
             ErrorText(static_cast<DWORD>(status)));
    return false;
  }
  return true;
}

void BroadcastEnvironmentChange() {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"),
                      SMTO_ABORTIFHUNG, 2000, &result);
}

}  // namespace setup
