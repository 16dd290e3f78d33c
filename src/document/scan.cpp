// The block scan of the window: its classifiers, the one chosen at run time, and the boundaries.
#include "document/scan.h"

#include <algorithm>
#include <atomic>
#include <initializer_list>

#if defined(__SSE2__) || defined(_M_X64)
#define VEX_SCAN_SSE2 1
#include <emmintrin.h>
#endif
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && !defined(_WIN32)
// Not on Windows: there GCC keeps the stack 16-byte aligned and may spill 32-byte registers to it
// with aligned moves.
#define VEX_SCAN_AVX2 1
#include <immintrin.h>
#endif

namespace VexNode::scan {
namespace {

struct Masks {
  uint64_t white = 0;
  uint64_t special = 0;
  uint64_t quote = 0;
};

Masks ClassifyTable(const char16_t* p) {
  Masks m;
  for (size_t i = 0; i < kBlockUnits; ++i) {
    const uint8_t c = ClassOf(p[i]);
    const uint64_t bit = uint64_t{1} << i;
    if ((c & kWhite) != 0) m.white |= bit;
    if ((c & (kWhite | kWordUnit)) == 0) m.special |= bit;
    if ((c & kQuotedUnit) == 0) m.quote |= bit;
  }
  return m;
}

#ifdef VEX_SCAN_SSE2
// Sixteen units at p narrowed to bytes with signed saturation: ASCII stays itself, every other
// unit becomes 0x7F or 0x80, neither of which is in any class.
inline __m128i Narrow16(const char16_t* p) {
  return _mm_packs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)));
}

inline Masks ClassifySse2(const char16_t* p) {
  Masks m;
  for (size_t i = 0; i < kBlockUnits; i += 16) {
    const __m128i v = Narrow16(p + i);
    auto is = [&](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
    const __m128i white = _mm_or_si128(_mm_or_si128(is(' '), is('\n')), _mm_or_si128(is('\r'), is('\t')));
    // '<' and '=' are 0x3C and 0x3D: one compare of the unit with its lowest bit set.
    const __m128i angle_or_equals = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(1)), _mm_set1_epi8('='));
    const __m128i special = _mm_or_si128(_mm_or_si128(is('\0'), angle_or_equals), _mm_or_si128(is('['), is(']')));
    m.white |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(white))} << i;
    m.special |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(special))} << i;
    m.quote |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_or_si128(is('\''), is('\0'))))} << i;
  }
  return m;
}
#endif

#ifdef VEX_SCAN_AVX2
// As the SSE2 classifier, 32 units a step. The pack works within each 128-bit half, so its result
// holds units 0-7, 16-23, 8-15, 24-31; the permute puts them back in order.
__attribute__((target("avx2"))) inline Masks ClassifyAvx2(const char16_t* p) {
  Masks m;
  for (size_t i = 0; i < kBlockUnits; i += 32) {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 16));
    const __m256i v = _mm256_permute4x64_epi64(_mm256_packs_epi16(low, high), 0xD8);
#define VEX_IS(c) _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c))
    const __m256i white =
        _mm256_or_si256(_mm256_or_si256(VEX_IS(' '), VEX_IS('\n')), _mm256_or_si256(VEX_IS('\r'), VEX_IS('\t')));
    const __m256i angle_or_equals = _mm256_cmpeq_epi8(_mm256_or_si256(v, _mm256_set1_epi8(1)), _mm256_set1_epi8('='));
    const __m256i special =
        _mm256_or_si256(_mm256_or_si256(VEX_IS('\0'), angle_or_equals), _mm256_or_si256(VEX_IS('['), VEX_IS(']')));
    const __m256i quote = _mm256_or_si256(VEX_IS('\''), VEX_IS('\0'));
#undef VEX_IS
    m.white |= uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(white))} << i;
    m.special |= uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(special))} << i;
    m.quote |= uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(quote))} << i;
  }
  return m;
}
#endif

// One block's boundaries; after_word carries whether the unit before the block is a word unit.
[[gnu::always_inline]] inline uint64_t Boundaries(const Masks& m, uint64_t& after_word) {
  const uint64_t word = ~(m.white | m.special);
  const uint64_t before = (word << 1) | after_word;
  after_word = word >> 63;
  return (word & ~before) | (~word & before) | m.special;
}

// The blocks of units[0, count) through one classifier; the last one, when short, from a copy.
#define VEX_SCAN_BLOCKS(Classify)                                              \
  uint64_t after_word = 0;                                                     \
  size_t block = 0;                                                            \
  for (; (block + 1) * kBlockUnits <= count; ++block) {                        \
    const Masks m = Classify(units + block * kBlockUnits);                     \
    boundaries[block] = Boundaries(m, after_word);                             \
    quotes[block] = m.quote;                                                   \
  }                                                                            \
  if (block * kBlockUnits < count) {                                           \
    char16_t padded[kBlockUnits] = {};                                         \
    std::copy(units + block * kBlockUnits, units + count, padded);             \
    const Masks m = Classify(padded);                                          \
    boundaries[block] = Boundaries(m, after_word);                             \
    quotes[block] = m.quote;                                                   \
  }

void ScanTable(const char16_t* units, size_t count, uint64_t* boundaries, uint64_t* quotes) {
  VEX_SCAN_BLOCKS(ClassifyTable)
}
#ifdef VEX_SCAN_SSE2
void ScanSse2(const char16_t* units, size_t count, uint64_t* boundaries, uint64_t* quotes) {
  VEX_SCAN_BLOCKS(ClassifySse2)
}
#endif
#ifdef VEX_SCAN_AVX2
__attribute__((target("avx2"))) void ScanAvx2(const char16_t* units, size_t count, uint64_t* boundaries,
                                              uint64_t* quotes) {
  VEX_SCAN_BLOCKS(ClassifyAvx2)
}
#endif
#undef VEX_SCAN_BLOCKS

using ScanFn = void (*)(const char16_t*, size_t, uint64_t*, uint64_t*);

ScanFn ScanOf(Classifier classifier) {
  switch (classifier) {
    case Classifier::kTable:
      return ScanTable;
    case Classifier::kSse2:
#ifdef VEX_SCAN_SSE2
      return ScanSse2;
#else
      return nullptr;
#endif
    case Classifier::kAvx2:
#ifdef VEX_SCAN_AVX2
      __builtin_cpu_init();  // this may run before the C library's own constructors
      return __builtin_cpu_supports("avx2") ? ScanAvx2 : nullptr;
#else
      return nullptr;
#endif
  }
  return nullptr;
}

Classifier Best() {
  for (Classifier c : {Classifier::kAvx2, Classifier::kSse2}) {
    if (ScanOf(c) != nullptr) return c;
  }
  return Classifier::kTable;
}

// The table until the choice is made at start, so that a document read before then still reads.
std::atomic<ScanFn> g_scan{ScanTable};
const bool g_chosen = (g_scan.store(ScanOf(Best()), std::memory_order_relaxed), true);

}  // namespace

void ScanBlocks(const char16_t* units, size_t count, uint64_t* boundaries, uint64_t* quotes) {
  g_scan.load(std::memory_order_relaxed)(units, count, boundaries, quotes);
}

Classifier BestClassifier() { return Best(); }

bool UseClassifier(Classifier classifier) {
  const ScanFn scan = ScanOf(classifier);
  if (scan == nullptr) return false;
  g_scan.store(scan, std::memory_order_relaxed);
  return true;
}

}  // namespace VexNode::scan
