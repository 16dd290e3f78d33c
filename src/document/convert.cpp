// Conversion rules for attribute values: integers, hexadecimal numbers and GUIDs.
#include "document/convert.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <cstdint>

namespace VexNode {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n'; }

// The value of each hexadecimal digit among the ASCII units, -1 for every other unit.
struct HexTable {
  int8_t digits[128];
  constexpr HexTable() : digits() {
    for (int c = 0; c < 128; ++c) digits[c] = -1;
    for (int c = 0; c < 10; ++c) digits['0' + c] = static_cast<int8_t>(c);
    for (int c = 0; c < 6; ++c) digits['a' + c] = digits['A' + c] = static_cast<int8_t>(10 + c);
  }
};
constexpr HexTable kHex;

int HexDigit(char16_t c) { return c < 128 ? kHex.digits[c] : -1; }

// The common form of a GUID value, 8-4-4-4-12 hexadecimal digits (after an optional opening
// brace), read in one pass. False for anything else, which the general rule then reads; the
// general rule gives the same GUID for every text this accepts.
bool ConvertCanonicalGuid(std::u16string_view text, platform::Guid* guid) {
  const size_t first = !text.empty() && text[0] == u'{' ? 1 : 0;
  if (text.size() < first + 36) return false;
  const char16_t* p = text.data() + first;
  if (p[8] != u'-' || p[13] != u'-' || p[18] != u'-' || p[23] != u'-') return false;
  // Every digit is read without a test; a unit that is not one turns `bad` negative.
  int bad = 0;
  auto digits = [&](size_t at, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) {
      const int digit = HexDigit(p[at + i]);
      bad |= digit;
      value = value << 4 | static_cast<uint32_t>(digit & 0xF);
    }
    return value;
  };
  const uint32_t data1 = digits(0, 8);
  const auto data2 = static_cast<uint16_t>(digits(9, 4));
  const auto data3 = static_cast<uint16_t>(digits(14, 4));
  uint8_t data4[8];
  data4[0] = static_cast<uint8_t>(digits(19, 2));
  data4[1] = static_cast<uint8_t>(digits(21, 2));
  for (size_t i = 0; i < 6; ++i) data4[2 + i] = static_cast<uint8_t>(digits(24 + 2 * i, 2));
  if (bad < 0) return false;
  guid->data1 = data1;
  guid->data2 = data2;
  guid->data3 = data3;
  std::copy(std::begin(data4), std::end(data4), std::begin(guid->data4));
  return true;
}

size_t SkipBlanks(std::u16string_view text) {
  size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  return at;
}

// The units [from, from + length) of text, clipped to its end.
std::u16string_view Clip(std::u16string_view text, size_t from, size_t length) {
  if (from >= text.size()) return {};
  return text.substr(from, length);
}

}  // namespace

uint64_t ConvertHex(std::u16string_view text) {
  uint64_t value = 0;
  for (size_t at = SkipBlanks(text); at < text.size(); ++at) {
    const int digit = HexDigit(text[at]);
    if (digit < 0) break;
    value = value * 16 + static_cast<uint64_t>(digit);
  }
  return value;
}

uint64_t ConvertInteger(std::u16string_view text) {
  if (text.size() >= 3 && (text[1] == u'x' || text[1] == u'X')) return ConvertHex(text.substr(2));
  uint64_t value = 0;
  for (size_t at = SkipBlanks(text); at < text.size() && text[at] >= u'0' && text[at] <= u'9'; ++at) {
    value = value * 10 + static_cast<uint64_t>(text[at] - u'0');
  }
  return value;
}

platform::Guid ConvertGuid(std::u16string_view text) {
  platform::Guid guid;
  if (text.size() < 36) return guid;
  if (ConvertCanonicalGuid(text, &guid)) return guid;
  std::array<size_t, 3> dashes{};
  size_t found = 0;
  for (size_t at = 0; at < text.size() && found < dashes.size(); ++at) {
    if (text[at] == u'-') dashes[found++] = at;
  }
  if (found < dashes.size()) return guid;
  const size_t first = text[0] == u'{' ? 1 : 0;
  // Each group ends at its dash (the hexadecimal rule would stop there anyway).
  guid.data1 = static_cast<uint32_t>(ConvertHex(text.substr(first, dashes[0] - first)));
  guid.data2 = static_cast<uint16_t>(ConvertHex(text.substr(dashes[0] + 1, dashes[1] - dashes[0] - 1)));
  guid.data3 = static_cast<uint16_t>(ConvertHex(text.substr(dashes[1] + 1, dashes[2] - dashes[1] - 1)));
  // Bytes 0 and 1 follow the third dash; bytes 2 to 7 follow the fourth group and its separator.
  // A third dash close to the end leaves the later pairs short or empty rather than reading on.
  const size_t base = dashes[2] + 1;
  for (size_t i = 0; i < 8; ++i) {
    const size_t at = i < 2 ? base + 2 * i : base + 5 + 2 * (i - 2);
    guid.data4[i] = static_cast<uint8_t>(ConvertHex(Clip(text, at, 2)));
  }
  return guid;
}

}  // namespace VexNode
