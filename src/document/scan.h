// Unit classes of the document syntax and the scanning loops of the reader's hot path.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__) || defined(_M_X64)
// Sixteen units at p narrowed to bytes with signed saturation: ASCII stays itself, every other
// unit becomes 0x7F or 0x80, and no unit any search looks for is either.
inline __m128i Narrow16(const char16_t* p) {
  return _mm_packs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)));
}

// Bit i set when unit i of the sixteen is outside the class.
template <uint8_t kClass>
inline uint32_t OutsideMask(__m128i v) {
  auto is = [&](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
  const __m128i zero = is('\0');
  if constexpr (kClass == kQuotedUnit) {
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(zero, is('\''))));
  }
  const __m128i white = _mm_or_si128(_mm_or_si128(is(' '), is('\n')), _mm_or_si128(is('\r'), is('\t')));
  if constexpr (kClass == kWhite) return static_cast<uint32_t>(~_mm_movemask_epi8(white)) & 0xFFFF;
  const __m128i ends = _mm_or_si128(_mm_or_si128(_mm_or_si128(white, zero), _mm_or_si128(is('<'), is('='))),
                                    _mm_or_si128(is('['), is(']')));
  return static_cast<uint32_t>(_mm_movemask_epi8(ends));
}
#endif

// The same searches where a unit outside the class is known to come (the reader plants a
// U+0000, which belongs to no class): no limit to test. Units up to readable_end may be read
// past that unit. The first twelve units are tested one by one, as most tokens end there; longer
// runs (GUIDs, names, indentation) go sixteen units a step where the processor allows.
template <uint8_t kClass>
inline const char16_t* FindEndBefore(const char16_t* p, [[maybe_unused]] const char16_t* readable_end) {
  for (int step = 0; step < 3; ++step, p += 4) {
    if ((ClassOf(p[0]) & kClass) == 0) return p;
    if ((ClassOf(p[1]) & kClass) == 0) return p + 1;
    if ((ClassOf(p[2]) & kClass) == 0) return p + 2;
    if ((ClassOf(p[3]) & kClass) == 0) return p + 3;
  }
#if defined(__SSE2__) || defined(_M_X64)
  for (; readable_end - p >= 16; p += 16) {
    const uint32_t outside = OutsideMask<kClass>(Narrow16(p));
    if (outside != 0) return p + std::countr_zero(outside);
  }
#endif
  for (;; p += 4) {
    if ((ClassOf(p[0]) & kClass) == 0) return p;
    if ((ClassOf(p[1]) & kClass) == 0) return p + 1;
    if ((ClassOf(p[2]) & kClass) == 0) return p + 2;
    if ((ClassOf(p[3]) & kClass) == 0) return p + 3;
  }
}

// The same search for runs that are usually long (quoted texts): sixteen units a step from
// the first unit where the processor allows.
template <uint8_t kClass>
inline const char16_t* FindEndBeforeLong(const char16_t* p, [[maybe_unused]] const char16_t* readable_end) {
#if defined(__SSE2__) || defined(_M_X64)
  for (; readable_end - p >= 16; p += 16) {
    const uint32_t outside = OutsideMask<kClass>(Narrow16(p));
    if (outside != 0) return p + std::countr_zero(outside);
  }
#endif
  for (;; p += 4) {
    if ((ClassOf(p[0]) & kClass) == 0) return p;
    if ((ClassOf(p[1]) & kClass) == 0) return p + 1;
    if ((ClassOf(p[2]) & kClass) == 0) return p + 2;
    if ((ClassOf(p[3]) & kClass) == 0) return p + 3;
  }
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
