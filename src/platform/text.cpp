// UTF-8 <-> UTF-16 conversions and case mappings.
#include "platform/text.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace platform {
namespace {

struct CaseRun {
  char32_t first;
  uint16_t count;
  uint8_t stride;
  int32_t delta;
};

#include "platform/case_tables.inc"

// The mapping of c by runs sorted by first: only the last run that starts at or before c can
// hold it.
template <size_t N>
char32_t MapByRuns(const CaseRun (&runs)[N], char32_t c) {
  const CaseRun* after = std::upper_bound(std::begin(runs), std::end(runs), c,
                                          [](char32_t value, const CaseRun& run) {
                                            return value < run.first;
                                          });
  if (after == std::begin(runs)) return c;
  const CaseRun& run = after[-1];
  const char32_t offset = c - run.first;
  if (offset % run.stride != 0 || offset / run.stride >= run.count) return c;
  return static_cast<char32_t>(static_cast<int32_t>(c) + run.delta);
}

}  // namespace

char32_t NextCodePoint(std::u16string_view text, size_t* at) {
  const char32_t unit = text[(*at)++];
  if (unit >= 0xD800 && unit <= 0xDBFF && *at < text.size() && text[*at] >= 0xDC00 &&
      text[*at] <= 0xDFFF) {
    return 0x10000 + ((unit - 0xD800) << 10) + (text[(*at)++] - 0xDC00);
  }
  return unit;
}

char32_t FoldCase(char32_t c) {
  if (c < 0x80) return c >= U'A' && c <= U'Z' ? c + 32 : c;
  return MapByRuns(kFoldRuns, c);
}

char16_t UpperCaseUnit(char16_t unit) {
  if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? unit - 32 : unit;
  return static_cast<char16_t>(MapByRuns(kUpperRuns, unit));
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    uint8_t b = static_cast<uint8_t>(text[i]);
    uint32_t c = 0xFFFD;
    size_t length = 1;
    uint32_t minimum = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      length = 2, c = b & 0x1F, minimum = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3, c = b & 0x0F, minimum = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4, c = b & 0x07, minimum = 0x10000;
    } else {
      length = 0;
    }
    if (length > 1) {
      bool ok = i + length <= text.size();
      for (size_t k = 1; ok && k < length; ++k) {
        uint8_t next = static_cast<uint8_t>(text[i + k]);
        ok = (next & 0xC0) == 0x80;
        c = (c << 6) | (next & 0x3F);
      }
      if (!ok || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        c = 0xFFFD;
        length = 1;
      }
    } else if (length == 0) {
      c = 0xFFFD;
      length = 1;
    }
    i += length;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

}  // namespace platform
