// The loading attribute stream and the integer, hexadecimal and GUID conversion rules.
#include <gtest/gtest.h>

#include <string>

#include "document/convert.h"
#include "document/stream.h"
#include "platform/guid.h"

namespace {

using VexNode::AttributePair;
using VexNode::CAttributeStream_Expat;
using VexNode::ConvertGuid;
using VexNode::ConvertInteger;

TEST(ConvertTest, IntegerRule) {
  EXPECT_EQ(ConvertInteger(u"0x1F"), 31u);
  EXPECT_EQ(ConvertInteger(u"0X1f"), 31u);
  EXPECT_EQ(ConvertInteger(u"11"), 11u);
  EXPECT_EQ(ConvertInteger(u"-5"), 0u);
  EXPECT_EQ(ConvertInteger(u"12abc"), 12u);
  EXPECT_EQ(ConvertInteger(u" 7"), 7u);
  EXPECT_EQ(ConvertInteger(u"\t\n 7"), 7u);
  EXPECT_EQ(ConvertInteger(u"\r7"), 0u);  // CR is not skipped
  EXPECT_EQ(ConvertInteger(u"0x"), 0u);   // two units: the decimal rule
  EXPECT_EQ(ConvertInteger(u""), 0u);
  EXPECT_EQ(ConvertInteger(u"   "), 0u);
  EXPECT_EQ(ConvertInteger(u"zx10"), 16u);  // any first unit before the x
  EXPECT_EQ(ConvertInteger(u"0x ff"), 255u);
  EXPECT_EQ(ConvertInteger(u"0xfg"), 15u);
  // 64-bit accumulation wraps; callers keep the low 32 bits.
  EXPECT_EQ(ConvertInteger(u"18446744073709551617"), 1u);
  EXPECT_EQ(static_cast<uint32_t>(ConvertInteger(u"4294967301")), 5u);
}

platform::Guid Expected(uint32_t d1, uint16_t d2, uint16_t d3, std::initializer_list<uint8_t> d4) {
  platform::Guid g;
  g.data1 = d1;
  g.data2 = d2;
  g.data3 = d3;
  std::copy(d4.begin(), d4.end(), g.data4);
  return g;
}

TEST(ConvertTest, GuidRule) {
  const platform::Guid expected = Expected(0x6B1B7D3A, 0x1C2D, 0x4E5F, {0x8A, 0x9B, 0x0C, 0x1D, 0x2E, 0x3F, 0x4A, 0x5B});
  EXPECT_EQ(ConvertGuid(u"6B1B7D3A-1C2D-4E5F-8A9B-0C1D2E3F4A5B"), expected);
  EXPECT_EQ(ConvertGuid(u"{6b1b7d3a-1c2d-4e5f-8a9b-0c1d2e3f4a5b}"), expected);
  EXPECT_TRUE(ConvertGuid(u"6B1B7D3A-1C2D-4E5F-8A9B-0C1D2E3F4A5").IsNull());  // 35 units
  EXPECT_TRUE(ConvertGuid(u"6B1B7D3A1C2D4E5F8A9B0C1D2E3F4A5B0000").IsNull());  // no dashes
  EXPECT_TRUE(ConvertGuid(u"6B1B7D3A-1C2D4E5F8A9B-0C1D2E3F4A5B00").IsNull());  // two dashes
  // Pairs are converted on their own: a bad digit spoils only its own byte.
  const platform::Guid partial = ConvertGuid(u"6B1B7D3A-1C2D-4E5F-8A9B-0C1D2Z3F4A5B");
  EXPECT_EQ(partial.data4[4], 0x2);
  EXPECT_EQ(partial.data4[5], 0x3F);
  // A third dash near the end leaves the missing pairs at zero instead of reading past the text.
  const platform::Guid short_tail = ConvertGuid(u"000000000000000000000000000000-1-2-3");
  EXPECT_EQ(short_tail.data2, 1);
  EXPECT_EQ(short_tail.data4[0], 3);
  EXPECT_EQ(short_tail.data4[7], 0);
}

AttributePair Pair(const char16_t* name, const char16_t* value) { return AttributePair{name, value}; }

TEST(ConvertTest, CaseIsIgnoredForAsciiLettersOnly) {
  using VexNode::EqualsIgnoreCase;
  EXPECT_TRUE(EqualsIgnoreCase(u"ShortName", u"sHORTnAME"));
  EXPECT_TRUE(EqualsIgnoreCase(u"", u""));
  // Units 0x20 apart that are not a letter pair stay different.
  EXPECT_FALSE(EqualsIgnoreCase(u"a@", u"a`"));
  EXPECT_FALSE(EqualsIgnoreCase(u"[x", u"{x"));
  EXPECT_FALSE(EqualsIgnoreCase(u"x1", u"x\u0011"));
  EXPECT_FALSE(EqualsIgnoreCase(u"\u00C9", u"\u00E9"));  // only ASCII letters fold
  EXPECT_FALSE(EqualsIgnoreCase(u"name", u"names"));
  EXPECT_FALSE(EqualsIgnoreCase(u"names", u"name"));
}

TEST(AttributeStreamTest, LookupIgnoresCaseFirstEntryWinsEntryZeroIncluded) {
  const AttributePair list[] = {Pair(u"led", u"9"), Pair(u"Command", u"0x10"), Pair(u"command", u"7"), {}};
  CAttributeStream_Expat stream(list);
  EXPECT_TRUE(stream.IsLoading());
  EXPECT_FALSE(stream.IsStoring());
  int32_t value = -1;
  EXPECT_TRUE(stream.ExchangeInt(u"COMMAND", &value, 0));
  EXPECT_EQ(value, 16);
  EXPECT_TRUE(stream.ExchangeInt(u"led", &value, 0));
  EXPECT_EQ(value, 9);
  value = 42;
  EXPECT_FALSE(stream.ExchangeInt(u"missing", &value, 5));
  EXPECT_EQ(value, 42);  // absent: the declared default is not applied
}

TEST(AttributeStreamTest, AbsentOwnValueResetsFieldsExceptEnums) {
  // Entry 0 of an element without an own value carries the empty text.
  const AttributePair list[] = {Pair(u"x", u""), {}};
  CAttributeStream_Expat stream(list);
  int32_t number = 5;
  EXPECT_TRUE(stream.ExchangeInt(u"x", &number, 5));
  EXPECT_EQ(number, 0);
  VexNode::CNodeString text(u"default");
  EXPECT_TRUE(stream.ExchangeString(u"x", &text));
  EXPECT_EQ(text.View(), u"");
  bool flag = true;
  EXPECT_TRUE(stream.ExchangeBool(u"x", &flag, true));
  EXPECT_FALSE(flag);
  platform::Guid guid = Expected(1, 2, 3, {4});
  EXPECT_TRUE(stream.ExchangeGuid(u"x", &guid));
  EXPECT_TRUE(guid.IsNull());
  const VexNode::EnumEntry table[] = {{1, u"one"}, {2, u"two"}};
  int32_t choice = 2;
  EXPECT_TRUE(stream.ExchangeEnum(u"x", &choice, table, 2, 1));
  EXPECT_EQ(choice, 2);
}

TEST(AttributeStreamTest, TypedExchanges) {
  const AttributePair list[] = {Pair(u"e", u""),
                                Pair(u"on", u"TrUe"),
                                Pair(u"off", u"yes"),
                                Pair(u"pair", u"0x10,20"),
                                Pair(u"nocomma", u"10"),
                                Pair(u"timeout", u"250"),
                                Pair(u"kind", u"TWO"),
                                Pair(u"bad", u"three"),
                                Pair(u"negative", u"4294967295"),
                                Pair(u"hex", u"1-a-FF"),
                                Pair(u"guid", u"{6B1B7D3A-1C2D-4E5F-8A9B-0C1D2E3F4A5B}"),
                                {}};
  CAttributeStream_Expat stream(list);
  bool on = false, off = true;
  EXPECT_TRUE(stream.ExchangeBool(u"on", &on, false));
  EXPECT_TRUE(stream.ExchangeBool(u"off", &off, true));
  EXPECT_TRUE(on);
  EXPECT_FALSE(off);
  int32_t first = -1, second = -1;
  EXPECT_TRUE(stream.ExchangePair(u"pair", &first, &second));
  EXPECT_EQ(first, 16);
  EXPECT_EQ(second, 20);
  first = second = -1;
  EXPECT_TRUE(stream.ExchangePair(u"nocomma", &first, &second));
  EXPECT_EQ(first, -1);
  int64_t timeout = 0;
  EXPECT_TRUE(stream.ExchangeTimeout(u"timeout", &timeout, 1));
  EXPECT_EQ(timeout, -2500000);
  const VexNode::EnumEntry table[] = {{1, u"one"}, {2, u"two"}};
  int32_t kind = 0;
  EXPECT_TRUE(stream.ExchangeEnum(u"kind", &kind, table, 2, 1));
  EXPECT_EQ(kind, 2);
  EXPECT_TRUE(stream.ExchangeEnum(u"bad", &kind, table, 2, 1));
  EXPECT_EQ(kind, 2);
  int32_t negative = 0;
  EXPECT_TRUE(stream.ExchangeInt(u"negative", &negative, 0));
  EXPECT_EQ(negative, -1);
  uint32_t unsigned_value = 0;
  EXPECT_TRUE(stream.ExchangeUInt(u"negative", &unsigned_value));
  EXPECT_EQ(unsigned_value, 0xFFFFFFFFu);
  uint32_t groups[3] = {};
  EXPECT_TRUE(stream.ExchangeHexList(u"hex", groups, 3));
  EXPECT_EQ(groups[0], 0xFFu);  // the last group first
  EXPECT_EQ(groups[1], 0xAu);
  EXPECT_EQ(groups[2], 0x1u);
  uint32_t two[2] = {};
  EXPECT_TRUE(stream.ExchangeHexList(u"hex", two, 2));  // never writes past the array
  EXPECT_EQ(two[0], 0xFFu);
  EXPECT_EQ(two[1], 0xAu);
  platform::Guid guid;
  EXPECT_TRUE(stream.ExchangeGuid(u"guid", &guid));
  EXPECT_EQ(guid.data1, 0x6B1B7D3Au);
  EXPECT_TRUE(stream.ExchangeReserved());
}

TEST(AttributeStreamTest, RawValueEntries) {
  VexNode::RawValue block;
  block.name = u"data";
  block.count = 4;
  block.data = u"a]b";
  AttributePair raw;
  raw.name = raw.value = reinterpret_cast<const char16_t*>(&block);
  const AttributePair list[] = {Pair(u"e", u""), raw, {}};
  CAttributeStream_Expat stream(list);
  VexNode::CNodeString data;
  EXPECT_TRUE(stream.ExchangeData(u"DATA", &data));
  EXPECT_EQ(data.View(), u"a]b");
}

}  // namespace
