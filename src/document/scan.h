// Unit classes of the document syntax, the scanning loops of the token path and the block scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

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
// Table loops unrolled by four so that only the test of each unit branches.
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

// The block scan. The one-pass head reader looks at the window 64 units at a time: each block is
// classified into three 64-bit masks, bit i standing for unit i of the block,
//   white    TAB, LF, CR, SPACE;
//   special  U+0000, '<', '=', '[', ']': the units that end a word and stand as tokens of their own;
//   quote    '\'' and U+0000: the units that end a quoted string (a quote also opens one).
// Every other unit is a word unit (quotes and backslashes included: a quote only opens a string
// where a token begins). From these come the block's token boundaries: where a word begins (a word
// unit after a unit that is not one, the last unit of the block before carried over), where it
// ends (the first white or special unit after it), and every special unit. Between two boundaries
// there is only the inside of a word or blank space, so the reader steps from one token to the
// next by taking the lowest set bit, never looking at the units in between; a quoted string is
// passed with the quote mask.
//
// The masks come from a vector classification where the processor has one: units are narrowed to
// bytes with signed saturation (ASCII stays itself, every other unit becomes 0x7F or 0x80, neither
// of which is in any class) and compared. SSE2 is part of every x86-64 processor; AVX2 is used when
// the processor reports it, chosen once at run time. Elsewhere a table lookup per unit gives the
// same masks.
inline constexpr size_t kBlockUnits = 64;

enum class Classifier { kTable, kSse2, kAvx2 };

// The boundaries and quotes of the blocks of units[0, count), one mask pair per block; the units of
// the last block past count are taken as U+0000 and never read.
void ScanBlocks(const char16_t* units, size_t count, uint64_t* boundaries, uint64_t* quotes);

// Every classifier gives the same masks; they differ only in speed. The best one the processor
// offers is chosen at start; tests and fuzzers run each one (false when the processor lacks it).
bool UseClassifier(Classifier classifier);
Classifier BestClassifier();

inline const char16_t* FindNonWhite(const char16_t* p, const char16_t* limit) { return FindEnd<kWhite>(p, limit); }
inline const char16_t* FindWordEnd(const char16_t* p, const char16_t* limit) { return FindEnd<kWordUnit>(p, limit); }
inline const char16_t* FindQuotedEnd(const char16_t* p, const char16_t* limit) { return FindEnd<kQuotedUnit>(p, limit); }

}  // namespace VexNode::scan
