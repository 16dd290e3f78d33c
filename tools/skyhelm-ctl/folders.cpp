// Paths, folder identity, .dat files and the manifest of installed files.
#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>

#include "folders.h"

namespace setup {
namespace {

std::wstring KnownFolder(const KNOWNFOLDERID& id) {
  std::wstring folder;
  wchar_t* known = nullptr;
  if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &known))) folder = known;
  CoTaskMemFree(known);
  return folder;
}

struct FolderId {
  DWORD volume = 0;
  DWORD high = 0;
  DWORD low = 0;
};

bool IdOf(const std::wstring& path, FolderId* id) {
  // Backup semantics open a folder; no access right is needed to read its identity.
  HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool got = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (got) *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return got;
}

bool IsPlainName(const std::wstring& name) {
  return !name.empty() && name != L"." && name != L".." &&
         name.find_first_of(L"\\/:") == std::wstring::npos;
}

}  // namespace

std::wstring Join(const std::wstring& folder, const std::wstring& name) { return folder + L"\\" + name; }

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring FullPath(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  full.resize(length);
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  return full;
}

std::wstring ParentFolder(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring ThisProgramPath() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path;
}

std::wstring DefaultInstallFolder() {
  std::wstring folder = KnownFolder(FOLDERID_UserProgramFiles);
  if (folder.empty()) {
    folder = KnownFolder(FOLDERID_LocalAppData);
    if (!folder.empty()) folder = Join(folder, L"Programs");
  }
  return folder.empty() ? std::wstring() : Join(folder, L"Skyhelm");
}

std::wstring LogFilePath() {
  const std::wstring local = KnownFolder(FOLDERID_LocalAppData);
  return local.empty() ? L"%LOCALAPPDATA%\\Skyhelm\\skyhelm.log" : local + L"\\Skyhelm\\skyhelm.log";
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
  FolderId first;
  FolderId second;
  if (IdOf(a, &first) && IdOf(b, &second)) {
    return first.volume == second.volume && first.high == second.high && first.low == second.low;
  }
  return SameText(FullPath(a), FullPath(b));
}

std::vector<std::wstring> DatFiles(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Join(folder, L"*.dat").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

bool WriteManifest(const std::wstring& path, const std::vector<std::wstring>& names, DWORD* error) {
  std::wstring text;
  for (const std::wstring& name : names) text += name + L"\r\n";
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                      nullptr, nullptr);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  DWORD written = 0;
  const bool ok = WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) &&
                  written == utf8.size();
  *error = ok ? ERROR_SUCCESS : GetLastError();
  CloseHandle(file);
  return ok;
}

bool ReadManifest(const std::wstring& folder, std::vector<std::wstring>* names) {
  HANDLE file = CreateFileW(Join(folder, kManifestName).c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string utf8;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) utf8.append(buffer, read);
  CloseHandle(file);
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), size);
  names->clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring name = text.substr(start, end - start);
    if (!name.empty() && name.back() == L'\r') name.pop_back();
    if (IsPlainName(name) && !SameText(name, kManifestName)) names->push_back(name);
    start = end + 1;
  }
  return true;
}

}  // namespace setup
