// Conversion rules for attribute values: integers, hexadecimal numbers and GUIDs.
#include "document/convert.h"

#include <array>

namespace VexNode {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n'; }

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
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
