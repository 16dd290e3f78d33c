// Linux stand-ins for Windows locations: the root folder and case-insensitive lookups.
#include "platform/posix/stand_in.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/text.h"

namespace platform::posix {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string HomeFolder() {
  std::string home = Environment("HOME");
  if (!home.empty()) return home;
  struct passwd* entry = getpwuid(getuid());
  return (entry != nullptr && entry->pw_dir != nullptr) ? std::string(entry->pw_dir)
                                                        : std::string();
}

// Upper-case form of the units that Windows folds: ASCII, Latin-1, Greek and Cyrillic.
char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return c - 0x20;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 0x20;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  return c;
}

bool IsSafeName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  return name.find_first_of(std::u16string_view(u"/\0", 2)) == std::u16string_view::npos;
}

}  // namespace

bool SkyhelmRoot(std::string* out) {
  std::string root = Environment("SKYHELM_ROOT");
  if (root.empty()) {
    std::string data = Environment("XDG_DATA_HOME");
    if (!data.empty() && data.front() == '/') {
      root = data + "/skyhelm";
    } else {
      std::string home = HomeFolder();
      if (home.empty()) return false;
      root = home + "/.local/share/skyhelm";
    }
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  *out = root;
  return true;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool FindEntryNoCase(const std::string& folder, std::u16string_view name, std::string* out) {
  if (!IsSafeName(name)) return false;
  std::string exact = ToUtf8(name);
  struct stat info;
  if (lstat((folder + "/" + exact).c_str(), &info) == 0) {
    *out = exact;
    return true;
  }
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (struct dirent* entry = readdir(dir)) {
    if (EqualNoCase(FromUtf8(entry->d_name), name)) {
      *out = entry->d_name;
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace platform::posix
