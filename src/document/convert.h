// Conversion rules for attribute values: integers, hexadecimal numbers and GUIDs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/guid.h"

namespace VexNode {

// "0x1F"-style text (any first unit, then x or X, at least 3 units) is hexadecimal; otherwise
// leading SPACE/TAB/LF are skipped and decimal digits accumulated up to the first non-digit. No
// sign; wraps at 64 bits.
uint64_t ConvertInteger(std::u16string_view text);
// Leading SPACE/TAB/LF skipped, then hexadecimal digits up to the first other unit.
uint64_t ConvertHex(std::u16string_view text);
// 8-4-4-4-12 hexadecimal digits, braces optional; anything malformed gives the all-zero GUID.
platform::Guid ConvertGuid(std::u16string_view text);

// ASCII-case-insensitive comparison of two U+0000-terminated texts.
// Inline: the attribute lookup calls it for every declared attribute against every given one.
inline bool EqualsIgnoreCase(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    if (*a != *b) {
      // Only letters differ by case, and their lower-case forms are 0x20 apart.
      const char16_t lower = static_cast<char16_t>(*a | 0x20);
      if (lower != (*b | 0x20) || lower < u'a' || lower > u'z') return false;
    } else if (*a == u'\0') {
      return true;
    }
  }
}

// A U+0000-terminated text against a text that holds no U+0000.
inline bool EqualsIgnoreCase(const char16_t* a, std::u16string_view b) {
  for (size_t i = 0; i < b.size(); ++i) {
    if (a[i] == u'\0') return false;
    if (a[i] != b[i]) {
      const char16_t lower = static_cast<char16_t>(a[i] | 0x20);
      if (lower != (b[i] | 0x20) || lower < u'a' || lower > u'z') return false;
    }
  }
  return a[b.size()] == u'\0';
}

}  // namespace VexNode
