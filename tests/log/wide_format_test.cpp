// The UTF-16 formatter: each conversion, width and flags, cutting and termination.
#include <gtest/gtest.h>

#include <string>

#include "log/wide_format.h"

namespace {

template <typename... Args>
std::u16string Format(const char16_t* format, Args... args) {
  char16_t buffer[256];
  size_t length = FormatWide(buffer, 256, format, args...);
  EXPECT_EQ(buffer[length], u'\0');
  return std::u16string(buffer, length);
}

TEST(FormatWide, Conversions) {
  EXPECT_EQ(Format(u"a%sb", u"\u00e9x"), u"a\u00e9xb");
  EXPECT_EQ(Format(u"%ws|%ws", u"one", u"two"), u"one|two");
  EXPECT_EQ(Format(u"%S", "caf\xc3\xa9"), u"caf\u00e9") << "narrow text is UTF-8";
  EXPECT_EQ(Format(u"%d %d %d", 0, -42, 2147483647), u"0 -42 2147483647");
  EXPECT_EQ(Format(u"%d", static_cast<int>(0x80000000u)), u"-2147483648");
  EXPECT_EQ(Format(u"%u", 4294967295u), u"4294967295");
  EXPECT_EQ(Format(u"%x %X", 0xabcdefu, 0xabcdefu), u"abcdef ABCDEF");
  EXPECT_EQ(Format(u"100%%"), u"100%");
  EXPECT_EQ(Format(u"%s", static_cast<const char16_t*>(nullptr)), u"(null)");
}

TEST(FormatWide, WidthAndFlags) {
  EXPECT_EQ(Format(u"%08X", 0x1234u), u"00001234");
  EXPECT_EQ(Format(u"%04X", 0x12345u), u"12345") << "width is a minimum";
  EXPECT_EQ(Format(u"%02X", 0x7u), u"07");
  EXPECT_EQ(Format(u"%5d|%-5d|", 42, 42), u"   42|42   |");
  EXPECT_EQ(Format(u"%05d", -42), u"-0042");
  EXPECT_EQ(Format(u"%6s|%-6s|", u"ab", u"ab"), u"    ab|ab    |");
}

TEST(FormatWide, GuidAsTheLogWritesIt) {
  const char16_t* format = u"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}";
  EXPECT_EQ(Format(format, 0x0A0Bu, 0x1u, 0xFFFFu, 0, 0x1, 0xAB, 0xcd, 0, 0, 0, 0xF),
            u"{00000A0B-0001-FFFF-0001-ABCD0000000F}");
}

TEST(FormatWide, UnknownConversionsAreCopied) {
  EXPECT_EQ(Format(u"%q %w 50%"), u"%q %w 50%");
  EXPECT_EQ(Format(u"%5q"), u"%5q");
}

TEST(FormatWide, CutsToCapacityAndTerminates) {
  char16_t buffer[8];
  for (char16_t& unit : buffer) unit = u'#';
  size_t length = FormatWide(buffer, 6, u"%s%d", u"abcd", 12345);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(std::u16string(buffer), u"abcd1");
  EXPECT_EQ(buffer[6], u'#') << "nothing is written past the capacity";
  EXPECT_EQ(FormatWide(buffer, 1, u"abc"), 0u);
  EXPECT_EQ(buffer[0], u'\0');
}

}  // namespace
