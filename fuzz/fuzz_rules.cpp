// libFuzzer target: the automatic-profile rules reader and the glob matcher over any bytes.
// The whole input is read as a rules file; the part before its first NUL byte is also a glob and
// the part after it a text (both UTF-8). Traps when a result breaks what callers rely on.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "autoprofile/glob.h"
#include "autoprofile/rules.h"
#include "platform/text.h"

namespace {

void CheckRules(std::string_view text) {
  autoprofile::Rules rules;
  rules.delay_ms = 12345;
  std::string error;
  std::vector<std::string> errors;
  if (!autoprofile::ParseRules(text, "f.toml", &rules, &error, &errors)) {
    // Refused: every mistake is placed in the file, the first is the error, nothing is kept.
    if (errors.empty() || errors.front() != error || rules.delay_ms != 12345) __builtin_trap();
    for (const std::string& one : errors) {
      if (one.rfind("f.toml:", 0) != 0) __builtin_trap();
    }
    return;
  }
  if (rules.delay_ms > autoprofile::kMaxDelayMs) __builtin_trap();
  int number = 0;
  for (const autoprofile::Rule& rule : rules.rules) {
    if (rule.number != ++number) __builtin_trap();
    if (rule.program.empty() && rule.path.empty() && rule.title.empty()) __builtin_trap();
    if (rule.clear == !rule.profile.empty()) __builtin_trap();
  }
}

// The glob that matches exactly text: every sign written as a one-character class.
std::u16string Literal(std::u16string_view text) {
  std::u16string glob;
  for (char16_t unit : text) {
    if (unit == u'*' || unit == u'?' || unit == u'[') {
      glob += u'[';
      glob += unit;
      glob += u']';
    } else {
      glob += unit;
    }
  }
  return glob;
}

void CheckGlob(std::u16string_view glob, std::u16string_view text) {
  using autoprofile::GlobMatch;
  const bool plain = GlobMatch(glob, text, false);
  // Path separators only widen what "/" and "\" match, but for classes of all but some
  // characters, where "[!/]" then excludes both separators.
  const bool negated = glob.find(u"[!") != glob.npos || glob.find(u"[^") != glob.npos;
  if (plain && !negated && !GlobMatch(glob, text, true)) __builtin_trap();
  if (!GlobMatch(u"*", text) || !GlobMatch(Literal(text), text)) __builtin_trap();
  // A middle part of the text, not cutting a surrogate pair.
  size_t begin = text.size() / 3, end = 2 * text.size() / 3;
  if (begin < end && text[begin] >= 0xDC00 && text[begin] <= 0xDFFF) ++begin;
  if (begin < end && text[end - 1] >= 0xD800 && text[end - 1] <= 0xDBFF) --end;
  const std::u16string inner = u"*" + Literal(text.substr(begin, end - begin)) + u"*";
  if (!GlobMatch(inner, text)) __builtin_trap();
  // A glob matches what it matched with a "*" added at either end.
  if (plain && (!GlobMatch(std::u16string(glob) + u"*", text) ||
                !GlobMatch(u"*" + std::u16string(glob), text))) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckRules(bytes);
  const size_t split = bytes.find('\0');
  if (split != std::string_view::npos && size <= 4096) {
    CheckGlob(platform::FromUtf8(bytes.substr(0, split)), platform::FromUtf8(bytes.substr(split + 1)));
  }
  return 0;
}
