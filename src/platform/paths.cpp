// Path joining as PathAppendW and PathCanonicalizeW do it, with this platform's separator.
#include <string>
#include <vector>

#include "platform/folders.h"

namespace platform {
namespace {

constexpr bool kDriveLetters = kPathSeparator == u'\\';

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool HasDrive(std::u16string_view text) {
  return kDriveLetters && text.size() >= 2 && text[1] == u':' &&
         ((text[0] >= u'A' && text[0] <= u'Z') || (text[0] >= u'a' && text[0] <= u'z'));
}

// path, one separator, more without its leading separators. A more with a drive letter stands
// for itself, as in PathCombineW.
std::u16string Join(std::u16string_view path, std::u16string_view more) {
  if (HasDrive(more)) return std::u16string(more);
  while (!more.empty() && IsSeparator(more.front())) more.remove_prefix(1);
  std::u16string joined(path);
  if (more.empty()) return joined;
  if (joined.empty() ? !kDriveLetters : !IsSeparator(joined.back())) joined += kPathSeparator;
  joined += more;
  return joined;
}

// Splits off the root part: "X:" with its separator, "\\" of a UNC name, or one separator.
std::u16string TakeRoot(std::u16string_view* text) {
  std::u16string root;
  if (HasDrive(*text)) {
    root = text->substr(0, 2);
    text->remove_prefix(2);
    if (!text->empty() && IsSeparator(text->front())) root += kPathSeparator;
  } else if (kDriveLetters && text->size() >= 2 && IsSeparator((*text)[0]) &&
             IsSeparator((*text)[1])) {
    root = {kPathSeparator, kPathSeparator};
  } else if (!text->empty() && IsSeparator(text->front())) {
    root = kPathSeparator;
  }
  while (!text->empty() && IsSeparator(text->front())) text->remove_prefix(1);
  return root;
}

// Drops "." segments and empty ones (doubled separators), resolves ".." against the segment
// before it, never above the root, and keeps one trailing separator where the text had one.
std::u16string Canonicalize(std::u16string_view text) {
  std::u16string root = TakeRoot(&text);
  std::vector<std::u16string_view> segments;
  bool trailing = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    std::u16string_view segment = text.substr(start, end - start);
    trailing = end < text.size();
    if (segment == u"..") {
      if (!segments.empty()) segments.pop_back();
      trailing = false;
    } else if (segment == u".") {
      trailing = false;
    } else if (!segment.empty()) {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::u16string out = root;
  for (size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) out += kPathSeparator;
    out += segments[i];
  }
  if (trailing && !segments.empty()) out += kPathSeparator;
  return out;
}

}  // namespace

#ifdef _WIN32
std::u16string RootFallback() { return u"C:"; }
#endif

bool PathAppend(char16_t* path, std::u16string_view more) {
  if (path == nullptr) return false;
  size_t length = 0;
  while (length < kMaxPath && path[length] != u'\0') ++length;
  if (length == kMaxPath) return false;
  std::u16string result = Canonicalize(Join(std::u16string_view(path, length), more));
  if (result.size() + 1 > kMaxPath) return false;
  result.copy(path, result.size());
  path[result.size()] = u'\0';
  return true;
}

}  // namespace platform
