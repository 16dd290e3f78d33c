// GUID text forms and UTF-8/UTF-16 conversion.
#include <gtest/gtest.h>

#include "platform/guid.h"
#include "platform/text.h"

namespace platform {
namespace {

TEST(Guid, ParsesWithAndWithoutBracesInAnyCaseAndFormatsUpperCase) {
  Guid a, b;
  ASSERT_TRUE(ParseGuid(u"{19d936f8-bac2-4636-82b7-bc2c35f33f2a}", &a));
  ASSERT_TRUE(ParseGuid(u"19D936F8-BAC2-4636-82B7-BC2C35F33F2A", &b));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.data1, 0x19D936F8u);
  EXPECT_EQ(a.data2, 0xBAC2);
  EXPECT_EQ(a.data4[0], 0x82);
  EXPECT_EQ(a.data4[7], 0x2A);
  EXPECT_EQ(FormatGuid(a), u"19D936F8-BAC2-4636-82B7-BC2C35F33F2A");
}

TEST(Guid, RejectsMalformedText) {
  Guid g;
  EXPECT_FALSE(ParseGuid(u"", &g));
  EXPECT_FALSE(ParseGuid(u"{19D936F8-BAC2-4636-82B7-BC2C35F33F2A", &g));
  EXPECT_FALSE(ParseGuid(u"19D936F8-BAC2-4636-82B7-BC2C35F33F2", &g));
  EXPECT_FALSE(ParseGuid(u"19D936F8BAC2-4636-82B7-BC2C35F33F2A0", &g));
  EXPECT_FALSE(ParseGuid(u"19D936F8-BAC2-4636-82B7-BC2C35F33F2G", &g));
}

TEST(Guid, OrdersByStoredBytesFirstByteFirst) {
  Guid low, high;
  low.data1 = 0x00000002;   // first stored byte 0x02
  high.data1 = 0x01000001;  // first stored byte 0x01, but larger as a number
  EXPECT_TRUE(high < low);
}

TEST(Text, RoundTripsSurrogatePairsAndReplacesLoneOnes) {
  std::u16string text = u"a\u00e9\u20ac\U0001F600";
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(FromUtf8("\xC3"), u"\uFFFD");
  EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");
}

}  // namespace
}  // namespace platform
