// Well-known folders on Windows: shell folders, the Windows directory, the executable's path.
#include "platform/folders.h"

#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>

#include <vector>

namespace platform {
namespace {

std::u16string FromWide(const wchar_t* text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}

}  // namespace

bool CommonDocumentsFolder(std::u16string* out) {
  wchar_t path[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
    return false;
  }
  *out = FromWide(path);
  return true;
}

bool WindowsFolderFromShell(std::u16string* out) {
  wchar_t path[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, path, CSIDL_WINDOWS, FALSE)) return false;
  *out = FromWide(path);
  return true;
}

bool WindowsDirectory(std::u16string* out) {
  wchar_t path[kMaxPath] = {};
  UINT length = GetWindowsDirectoryW(path, kMaxPath);
  // 0 is failure; kMaxPath or more is the size the path would need.
  if (length == 0 || length >= kMaxPath) return false;
  *out = FromWide(path);
  return true;
}

bool LogFileFolder(std::u16string* out) {
  wchar_t* known = nullptr;
  const bool found =
      SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &known));
  if (found) *out = FromWide(known) + u"\\Skyhelm";
  CoTaskMemFree(known);
  return found;
}

bool ExecutablePath(std::u16string* out, uint32_t buffer_units) {
  if (buffer_units == 0) return false;
  std::vector<wchar_t> path(buffer_units, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, path.data(), buffer_units);
  // A path cut to fit the buffer (length == buffer_units) would name another file.
  if (length == 0 || length >= buffer_units) return false;
  *out = FromWide(path.data());
  return true;
}

}  // namespace platform
