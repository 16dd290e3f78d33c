// Folder search, file attributes, shared reading and moving files on Windows.
#include "platform/files.h"

#include <windows.h>
#include <share.h>

#include <string>

namespace platform {
namespace {

FoundFile ToFound(const WIN32_FIND_DATAW& data) {
  return FoundFile{std::u16string(reinterpret_cast<const char16_t*>(data.cFileName)),
                   data.dwFileAttributes};
}

}  // namespace

FileSearch::~FileSearch() {
  if (native_ != nullptr) FindClose(static_cast<HANDLE>(native_));
}

bool FileSearch::First(std::u16string_view pattern, FoundFile* out) {
  if (native_ != nullptr) FindClose(static_cast<HANDLE>(native_));
  native_ = nullptr;
  std::u16string text(pattern);
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(reinterpret_cast<const wchar_t*>(text.c_str()), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  native_ = search;
  *out = ToFound(data);
  return true;
}

bool FileSearch::Next(FoundFile* out) {
  if (native_ == nullptr) return false;
  WIN32_FIND_DATAW data;
  if (!FindNextFileW(static_cast<HANDLE>(native_), &data)) return false;
  *out = ToFound(data);
  return true;
}

uint32_t FileAttributes(std::u16string_view path) {
  std::u16string text(path);
  return GetFileAttributesW(reinterpret_cast<const wchar_t*>(text.c_str()));
}

std::FILE* OpenSharedRead(std::u16string_view path, const char* mode) {
  if (mode == nullptr) return nullptr;
  std::u16string text(path);
  std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
  return _wfsopen(reinterpret_cast<const wchar_t*>(text.c_str()), wide_mode.c_str(), _SH_DENYNO);
}

bool MoveFileReplacing(std::u16string_view from, std::u16string_view to) {
  const std::u16string source(from);
  const std::u16string target(to);
  return MoveFileExW(reinterpret_cast<const wchar_t*>(source.c_str()),
                     reinterpret_cast<const wchar_t*>(target.c_str()), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace platform
