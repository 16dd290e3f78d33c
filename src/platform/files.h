// Folder search, file attributes and shared reading of documents.
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

}  // namespace platform
