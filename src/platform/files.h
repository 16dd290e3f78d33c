// Folder search, file attributes, shared reading of documents and moving a file into place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace platform {

inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kInvalidAttributes = 0xFFFFFFFFu;

struct FoundFile {
  std::u16string name;  // file name only
  uint32_t attributes = 0;
  bool IsDirectory() const { return (attributes & kAttributeDirectory) != 0; }
};

// FindFirstFileW/FindNextFileW: pattern is a folder, a separator and a wildcard ("*.*",
// "*.pr0"); doubled separators are accepted. Results in the OS's order; on Linux "." and ".."
// come first and the rest in name order, and "*.*" matches every name, as on Windows.
class FileSearch {
 public:
  FileSearch() = default;
  ~FileSearch();
  FileSearch(const FileSearch&) = delete;
  FileSearch& operator=(const FileSearch&) = delete;
  bool First(std::u16string_view pattern, FoundFile* out);
  bool Next(FoundFile* out);

 private:
  void* native_ = nullptr;
};

// GetFileAttributesW; kInvalidAttributes when the path does not exist.
uint32_t FileAttributes(std::u16string_view path);

// _wfsopen(path, mode, _SH_DENYNO): a C runtime file opened for shared reading. Null on failure.
std::FILE* OpenSharedRead(std::u16string_view path, const char* mode = "rb");

// MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING), rename(2) on Linux: moves a file to another
// name in the same folder, replacing a file of that name in one step. False, with both files as
// they were, when it cannot (on Windows: another program holds either file without sharing its
// deletion).
bool MoveFileReplacing(std::u16string_view from, std::u16string_view to);

}  // namespace platform
