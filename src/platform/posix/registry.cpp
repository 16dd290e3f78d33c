// Registry reads on Linux: HKEY_LOCAL_MACHINE is the folder $SKYHELM_ROOT/registry/HKLM, a key
// a folder below it, a value a file of UTF-8 text. Names match without regard to case.
#include "platform/registry.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "platform/posix/stand_in.h"
#include "platform/text.h"

namespace platform {
namespace {

// The folder of key_path, or false when the key does not exist.
bool FindKeyFolder(std::u16string_view key_path, std::string* folder) {
  std::string current;
  if (!posix::SkyhelmRoot(&current)) return false;
  current += "/registry/HKLM";
  size_t start = 0;
  while (start <= key_path.size()) {
    size_t end = key_path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = key_path.size();
    std::u16string_view part = key_path.substr(start, end - start);
    if (!part.empty()) {
      std::string entry;
      if (!posix::FindEntryNoCase(current, part, &entry)) return false;
      current += "/" + entry;
    }
    start = end + 1;
  }
  *folder = current;
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::string data;
  char chunk[4096];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) data.append(chunk, got);
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  if (ok) *out = std::move(data);
  return ok;
}

// Copies a value's data into buffer as RegQueryValueExW would: data larger than the buffer
// fails; the text ends at its first NUL; data that fills the buffer without one fails.
bool CopyValue(std::u16string_view data, char16_t* buffer, uint32_t buffer_units) {
  if (buffer == nullptr || data.size() > buffer_units) return false;
  size_t end = data.find(u'\0');
  if (end == std::u16string_view::npos) {
    if (data.size() == buffer_units) return false;
    end = data.size();
  }
  data.substr(0, end).copy(buffer, end);
  buffer[end] = u'\0';
  return true;
}

}  // namespace

bool ReadMachineString(std::u16string_view key_path, std::u16string_view value_name,
                       char16_t* buffer, uint32_t buffer_units) {
  std::string folder;
  std::string entry;
  std::string bytes;
  if (!FindKeyFolder(key_path, &folder) || !posix::FindEntryNoCase(folder, value_name, &entry) ||
      !ReadWholeFile(folder + "/" + entry, &bytes)) {
    return false;
  }
  // A value file written with a text editor or echo ends with a line break that is no part of
  // the value.
  if (!bytes.empty() && bytes.back() == '\n') bytes.pop_back();
  if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
  return CopyValue(FromUtf8(bytes), buffer, buffer_units);
}

bool MachineValueNames(std::u16string_view key_path, std::vector<std::u16string>* names) {
  std::string folder;
  if (!FindKeyFolder(key_path, &folder)) return false;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  names->clear();
  while (const struct dirent* entry = readdir(dir)) {
    struct stat info;
    if (stat((folder + "/" + entry->d_name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      names->push_back(FromUtf8(entry->d_name));  // a file is a value, a folder a sub-key
    }
  }
  closedir(dir);
  return true;
}

bool DeviceDriverKey(std::u16string_view instance_id, char16_t* buffer, uint32_t buffer_units) {
  if (instance_id.empty()) return false;
  std::u16string key = u"System\\CurrentControlSet\\Enum\\";
  key += instance_id;
  return ReadMachineString(key, u"Driver", buffer, buffer_units);
}

}  // namespace platform
