// The loading implementation of the attribute exchange interface.
#include "document/stream.h"

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "document/convert.h"

namespace VexNode {
namespace {

// The length of a value text. A value the reader left in its window (most of them) is measured
// eight units a step where the processor allows: the window may be read past a text's end.
size_t ValueLength(const char16_t* text) {
  const char16_t* p = text;
#if defined(__SSE2__) || defined(_M_X64)
  const ParseWindow window = CurrentParseWindow();
  if (window.Holds(text)) {
    for (; window.end - p >= 8; p += 8) {
      const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const auto zeros = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(units, _mm_setzero_si128())));
      if (zeros != 0) return static_cast<size_t>(p - text) + std::countr_zero(zeros) / 2;
    }
  }
#endif
  return static_cast<size_t>(p - text) + std::char_traits<char16_t>::length(p);
}

}  // namespace

bool CAttributeStream_Expat::Find(const char16_t* name, std::u16string_view* value) const {
  if (attributes_ == nullptr || name == nullptr) return false;
  for (const AttributePair* entry = attributes_; entry->name != nullptr; ++entry) {
    if (EqualsIgnoreCase(entry->Name(), name)) {
      const char16_t* text = entry->Value();
      *value = std::u16string_view(text, entry->IsRaw() ? std::char_traits<char16_t>::length(text) : ValueLength(text));
      return true;
    }
  }
  return false;
}

bool CAttributeStream_Expat::ExchangeHexList(const char16_t* name, uint32_t* values, size_t count) {
  std::u16string_view text;
  if (!Find(name, &text)) return false;
  // Groups from the last to the first; the array holds at most count of them.
  size_t stored = 0;
  size_t end = text.size();
  while (stored < count) {
    const size_t dash = end == 0 ? std::u16string_view::npos : text.rfind(u'-', end - 1);
    const size_t begin = dash == std::u16string_view::npos ? 0 : dash + 1;
    values[stored++] = static_cast<uint32_t>(ConvertHex(text.substr(begin, end - begin)));
    if (dash == std::u16string_view::npos) break;
    end = dash;
  }
  return true;
}

bool CAttributeStream_Expat::ExchangeBool(const char16_t* name, bool* value, bool) {
  std::u16string_view found;
  if (!Find(name, &found)) return false;
  *value = EqualsIgnoreCase(u"TRUE", found);
  return true;
}

bool CAttributeStream_Expat::ExchangePair(const char16_t* name, int32_t* first, int32_t* second) {
  std::u16string_view text;
  if (!Find(name, &text)) return false;
  const size_t comma = text.find(u',');
  if (comma == std::u16string_view::npos) return true;
  *first = static_cast<int32_t>(ConvertInteger(text.substr(0, comma)));
  *second = static_cast<int32_t>(ConvertInteger(text.substr(comma + 1)));
  return true;
}

bool CAttributeStream_Expat::ExchangeGuid(const char16_t* name, platform::Guid* value) {
  std::u16string_view found;
  if (!Find(name, &found)) return false;
  *value = ConvertGuid(found);
  return true;
}

bool CAttributeStream_Expat::ExchangeTimeout(const char16_t* name, int64_t* value, uint8_t) {
  std::u16string_view found;
  if (!Find(name, &found)) return false;
  const auto milliseconds = static_cast<int32_t>(ConvertInteger(found));
  *value = static_cast<int64_t>(milliseconds) * -10000;
  return true;
}

bool CAttributeStream_Expat::ExchangeEnum(const char16_t* name, int32_t* value, const EnumEntry* table, size_t count,
                                          int32_t) {
  std::u16string_view found;
  if (!Find(name, &found)) return false;
  for (size_t i = 0; i < count; ++i) {
    if (table[i].name != nullptr && EqualsIgnoreCase(table[i].name, found)) {
      *value = table[i].value;
      break;
    }
  }
  return true;
}

bool CAttributeStream_Expat::ExchangeString(const char16_t* name, CNodeString* value) {
  std::u16string_view found;
  if (!Find(name, &found)) return false;
  value->Assign(found);
  return true;
}

bool CAttributeStream_Expat::ExchangeInt(const char16_t* name, int32_t* value, int32_t) {
  std::u16string_view found;
  if (!Find(name, &found)) return false;
  *value = static_cast<int32_t>(ConvertInteger(found));
  return true;
}

bool CAttributeStream_Expat::ExchangeUInt(const char16_t* name, uint32_t* value) {
  std::u16string_view found;
  if (!Find(name, &found)) return false;
  *value = static_cast<uint32_t>(ConvertInteger(found));
  return true;
}

bool CAttributeStream_Expat::ExchangeData(const char16_t* name, CNodeString* value) {
  return ExchangeString(name, value);
}

}  // namespace VexNode
