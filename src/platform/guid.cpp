// GUID text forms.
#include "platform/guid.h"

namespace platform {
namespace {

void AppendHex(std::u16string& out, uint32_t value, int digits) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xF]);
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads exactly digits hexadecimal digits at text[*at], advancing *at.
bool ReadHex(std::u16string_view text, size_t* at, int digits, uint32_t* value) {
  if (text.size() - *at < static_cast<size_t>(digits)) return false;
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexValue(text[*at + i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *at += digits;
  *value = v;
  return true;
}

}  // namespace

std::u16string FormatGuid(const Guid& guid) {
  std::u16string out;
  out.reserve(36);
  AppendHex(out, guid.data1, 8);
  out.push_back(u'-');
  AppendHex(out, guid.data2, 4);
  out.push_back(u'-');
  AppendHex(out, guid.data3, 4);
  out.push_back(u'-');
  AppendHex(out, guid.data4[0], 2);
  AppendHex(out, guid.data4[1], 2);
  out.push_back(u'-');
  for (int i = 2; i < 8; ++i) AppendHex(out, guid.data4[i], 2);
  return out;
}

bool ParseGuid(std::u16string_view text, Guid* out) {
  bool braces = !text.empty() && text.front() == u'{';
  if (braces) {
    if (text.size() < 2 || text.back() != u'}') return false;
    text = text.substr(1, text.size() - 2);
  }
  if (text.size() != 36) return false;
  static const int kGroups[] = {8, 4, 4, 4, 12};
  size_t at = 0;
  uint32_t parts[4] = {};
  Guid g;
  for (int group = 0; group < 5; ++group) {
    if (group > 0) {
      if (text[at] != u'-') return false;
      ++at;
    }
    if (group < 4) {
      if (!ReadHex(text, &at, kGroups[group], &parts[group])) return false;
    } else {
      for (int i = 2; i < 8; ++i) {
        uint32_t byte = 0;
        if (!ReadHex(text, &at, 2, &byte)) return false;
        g.data4[i] = static_cast<uint8_t>(byte);
      }
    }
  }
  g.data1 = parts[0];
  g.data2 = static_cast<uint16_t>(parts[1]);
  g.data3 = static_cast<uint16_t>(parts[2]);
  g.data4[0] = static_cast<uint8_t>(parts[3] >> 8);
  g.data4[1] = static_cast<uint8_t>(parts[3]);
  *out = g;
  return true;
}

}  // namespace platform
