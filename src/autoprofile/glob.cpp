// Glob matching without regard to case, with the classic single back-track on "*".
#include "autoprofile/glob.h"

#include <cstddef>

namespace autoprofile {
namespace {

bool IsSeparator(char16_t unit) { return unit == u'/' || unit == u'\\'; }

bool UnitMatches(char16_t pattern, char16_t unit, bool path_separators) {
  if (pattern == u'?') return true;
  if (path_separators && IsSeparator(pattern)) return IsSeparator(unit);
  return FoldCase(pattern) == FoldCase(unit);
}

}  // namespace

char16_t FoldCase(char16_t unit) {
  if (unit >= u'A' && unit <= u'Z') return unit + 32;
  // Latin-1 capitals, except the multiplication sign.
  if (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7) return unit + 32;
  return unit;
}

bool GlobMatch(std::u16string_view glob, std::u16string_view text, bool path_separators) {
  size_t g = 0, t = 0;
  // Where the last "*" was seen, and the text position it has been tried up to: on a mismatch
  // that "*" takes one unit more. Earlier stars never need to be revisited.
  size_t star = std::u16string_view::npos, star_text = 0;
  while (t < text.size()) {
    if (g < glob.size() && glob[g] == u'*') {
      star = g++;
      star_text = t;
    } else if (g < glob.size() && UnitMatches(glob[g], text[t], path_separators)) {
      ++g;
      ++t;
    } else if (star != std::u16string_view::npos) {
      g = star + 1;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (g < glob.size() && glob[g] == u'*') ++g;
  return g == glob.size();
}

}  // namespace autoprofile
