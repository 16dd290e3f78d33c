// GUID text forms and UTF-8/UTF-16 conversion.
#include <gtest/gtest.h>

#include <cstring>

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
  // The order is that of memcmp over the 16 bytes, also for GUIDs that differ in one byte only.
  uint64_t seed = 0x9E3779B97F4A7C15ull;
  auto next_byte = [&] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<unsigned char>(seed >> 56);
  };
  for (int round = 0; round < 2000; ++round) {
    unsigned char a[16], b[16];
    for (int i = 0; i < 16; ++i) a[i] = b[i] = next_byte();
    b[next_byte() % 16] = next_byte();
    if (round % 2 == 0) b[next_byte() % 16] = next_byte();
    Guid x, y;
    std::memcpy(&x, a, 16);
    std::memcpy(&y, b, 16);
    const int expected = std::memcmp(a, b, 16);
    EXPECT_EQ(Compare(x, y) < 0, expected < 0);
    EXPECT_EQ(Compare(x, y) == 0, expected == 0);
    EXPECT_EQ(x < y, expected < 0);
  }
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
