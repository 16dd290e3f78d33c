// Folder search, file attributes and shared reading on Linux: readdir in name order with
// Windows wildcard rules, stat, fopen.
#include "platform/files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <new>
#include <vector>

#include "platform/posix/stand_in.h"
#include "platform/text.h"

namespace platform {
namespace {

constexpr uint32_t kAttributeNormal = 0x80;

struct SearchState {
  std::vector<FoundFile> results;
  size_t next = 0;
};

// Windows wildcard match without regard to case: '*' any run, '?' any one unit; "*.*" (and any
// pattern ending ".*") also matches names without a dot, as on Windows.
bool MatchWildcard(std::u16string_view pattern, std::u16string_view name) {
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*" &&
      name.find(u'.') == std::u16string_view::npos &&
      MatchWildcard(pattern.substr(0, pattern.size() - 2), name)) {
    return true;
  }
  size_t p = 0, n = 0, star = std::u16string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() &&
               (pattern[p] == u'?' || posix::EqualNoCase(pattern.substr(p, 1), name.substr(n, 1)))) {
      ++p;
      ++n;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

uint32_t AttributesOf(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return kInvalidAttributes;
  return S_ISDIR(info.st_mode) ? kAttributeDirectory : kAttributeNormal;
}

// "." and ".." first, then the names in code point order.
bool ListedBefore(const FoundFile& a, const FoundFile& b) {
  int rank_a = a.name == u"." ? 0 : a.name == u".." ? 1 : 2;
  int rank_b = b.name == u"." ? 0 : b.name == u".." ? 1 : 2;
  if (rank_a != rank_b) return rank_a < rank_b;
  return ToUtf8(a.name) < ToUtf8(b.name);
}

bool Collect(std::u16string_view pattern, SearchState* state) {
  size_t cut = pattern.rfind(u'/');
  if (cut == std::u16string_view::npos) return false;
  std::u16string_view wildcard = pattern.substr(cut + 1);
  std::string folder = ToUtf8(pattern.substr(0, cut + 1));
  if (wildcard.empty()) return false;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (struct dirent* entry = readdir(dir)) {
    std::u16string name = FromUtf8(entry->d_name);
    if (!MatchWildcard(wildcard, name)) continue;
    uint32_t attributes = AttributesOf(folder + entry->d_name);
    // A dangling link still has a name: list it as a plain file, as Windows lists the link.
    if (attributes == kInvalidAttributes) attributes = kAttributeNormal;
    state->results.push_back(FoundFile{std::move(name), attributes});
  }
  closedir(dir);
  std::sort(state->results.begin(), state->results.end(), ListedBefore);
  return !state->results.empty();
}

}  // namespace

FileSearch::~FileSearch() { delete static_cast<SearchState*>(native_); }

bool FileSearch::First(std::u16string_view pattern, FoundFile* out) {
  delete static_cast<SearchState*>(native_);
  native_ = nullptr;
  auto* state = new (std::nothrow) SearchState;
  if (state == nullptr) return false;
  if (!Collect(pattern, state)) {
    delete state;
    return false;
  }
  native_ = state;
  return Next(out);
}

bool FileSearch::Next(FoundFile* out) {
  auto* state = static_cast<SearchState*>(native_);
  if (state == nullptr || state->next >= state->results.size()) return false;
  *out = state->results[state->next++];
  return true;
}

uint32_t FileAttributes(std::u16string_view path) {
  if (path.empty()) return kInvalidAttributes;
  return AttributesOf(ToUtf8(path));
}

std::FILE* OpenSharedRead(std::u16string_view path, const char* mode) {
  if (path.empty() || mode == nullptr) return nullptr;
  return std::fopen(ToUtf8(path).c_str(), mode);
}

bool MoveFileReplacing(std::u16string_view from, std::u16string_view to) {
  return std::rename(ToUtf8(from).c_str(), ToUtf8(to).c_str()) == 0;
}

}  // namespace platform
