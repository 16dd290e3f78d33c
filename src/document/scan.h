// Unit classes of the document syntax and the scanning loops of the reader's hot path.
#pragma once

#include <cstdint>

namespace VexNode::scan {

// Unit classes. Every unit at or above 0x80 is an ordinary word unit.
enum : uint8_t {
  kWhite = 1,       // TAB, LF, CR, SPACE
  kWordUnit = 2,    // continues a word: none of whitespace, U+0000, '<', '=', '[', ']'
  kQuotedUnit = 4,  // continues a quoted string: neither U+0000 nor '\''
};

// One entry per UTF-16 unit, so that classifying a unit is one load with no range test.
struct ClassTable {
  uint8_t entries[65536];
  constexpr ClassTable() : entries() {
    for (int c = 1; c < 65536; ++c) entries[c] = kWordUnit | kQuotedUnit;
    for (char16_t c : {u'\t', u'\n', u'\r', u' '}) entries[c] = kWhite | kQuotedUnit;
    for (char16_t c : {u'<', u'=', u'[', u']'}) entries[c] = kQuotedUnit;
    entries[u'\''] = kWordUnit;
  }
};
inline constexpr ClassTable kClasses;

inline uint8_t ClassOf(char16_t c) { return kClasses.entries[c]; }

// Each Find answers the first unit in [p, limit) that does not belong to the class, or limit.
// Table loops unrolled by four so that only the test of each unit branches: tokens are a few
// units long, and eight-unit SSE2 compares measured over twice as slow on them.
template <uint8_t kClass>
inline const char16_t* FindEnd(const char16_t* p, const char16_t* limit) {
  for (; limit - p >= 4; p += 4) {
    if ((ClassOf(p[0]) & kClass) == 0) return p;
    if ((ClassOf(p[1]) & kClass) == 0) return p + 1;
    if ((ClassOf(p[2]) & kClass) == 0) return p + 2;
    if ((ClassOf(p[3]) & kClass) == 0) return p + 3;
  }
  while (p < limit && (ClassOf(*p) & kClass) != 0) ++p;
  return p;
}

// The same searches where a unit outside the class is known to come (the reader plants a
// U+0000, which belongs to no class): no limit to test.
template <uint8_t kClass>
inline const char16_t* FindEndBefore(const char16_t* p) {
  for (;; p += 4) {
    if ((ClassOf(p[0]) & kClass) == 0) return p;
    if ((ClassOf(p[1]) & kClass) == 0) return p + 1;
    if ((ClassOf(p[2]) & kClass) == 0) return p + 2;
    if ((ClassOf(p[3]) & kClass) == 0) return p + 3;
  }
}

inline const char16_t* FindNonWhite(const char16_t* p, const char16_t* limit) { return FindEnd<kWhite>(p, limit); }
inline const char16_t* FindWordEnd(const char16_t* p, const char16_t* limit) { return FindEnd<kWordUnit>(p, limit); }
inline const char16_t* FindQuotedEnd(const char16_t* p, const char16_t* limit) { return FindEnd<kQuotedUnit>(p, limit); }

}  // namespace VexNode::scan
