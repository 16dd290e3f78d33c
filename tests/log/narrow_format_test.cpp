// The narrow formatter of PrintToStderr: C conversions and UTF-16 strings written as UTF-8.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "log/narrow_format.h"

namespace {

template <typename... Args>
std::string Format(const char* format, Args... args) {
  std::string out;
  FormatNarrow(&out, format, args...);
  return out;
}

TEST(FormatNarrow, WideStringsBecomeUtf8) {
  EXPECT_EQ(Format("%ls|%S", u"caf\u00e9", u"\u20ac"), "caf\xc3\xa9|\xe2\x82\xac");
  EXPECT_EQ(Format("[%5ls][%-4S][%.2ls]", u"ab", u"x", u"wxyz"), "[   ab][x   ][wx]");
  EXPECT_EQ(Format("%ls", static_cast<const char16_t*>(nullptr)), "(null)");
  EXPECT_EQ(Format("%lc%lc", static_cast<int>(u'\u00e9'), static_cast<int>(u'a')), "\xc3\xa9" "a");
}

TEST(FormatNarrow, CConversions) {
  EXPECT_EQ(Format("%s=%d, %i, %u", "n", -7, 8, 9u), "n=-7, 8, 9");
  EXPECT_EQ(Format("%08x %X %o", 0xbeefu, 0xbeefu, 8u), "0000beef BEEF 10");
  EXPECT_EQ(Format("%ld %lld %llu", -5L, -6LL, 18446744073709551615ULL),
            "-5 -6 18446744073709551615");
  EXPECT_EQ(Format("%zu %hhd %hu", static_cast<size_t>(12), 300, 70000), "12 44 4464");
  EXPECT_EQ(Format("%.3f %5.1e", 3.14159, 1500.0), "3.142 1.5e+03");
  EXPECT_EQ(Format("%*d|%-*d|%.*s", 4, 7, 3, 8, 2, "abc"), "   7|8  |ab");
  EXPECT_EQ(Format("%c%c 100%%", 'o', 'k'), "ok 100%");
}

TEST(FormatNarrow, LongTextIsNotCut) {
  std::string long_text(1000, 'z');
  EXPECT_EQ(Format("<%s>", long_text.c_str()), "<" + long_text + ">");
  EXPECT_EQ(Format("%300d", 1).size(), 300u);
}

TEST(FormatNarrow, UnknownConversionIsCopied) {
  EXPECT_EQ(Format("%y and %"), "%y and %");
}

}  // namespace
