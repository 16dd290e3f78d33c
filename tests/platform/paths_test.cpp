// PathAppend: separators, "." and "..", and the 260-unit limit.
#include <gtest/gtest.h>

#include <string>

#include "platform/folders.h"

namespace platform {
namespace {

// Writes a path with '|' standing for the native separator.
std::u16string Native(std::u16string text) {
  for (char16_t& c : text) {
    if (c == u'|') c = kPathSeparator;
  }
  return text;
}

// Appends more to the native form of base and answers the result, or "FAIL".
std::u16string Append(std::u16string base, std::u16string_view more) {
  char16_t buffer[kMaxPath] = {};
  base = Native(base);
  base.copy(buffer, base.size());
  if (!PathAppend(buffer, more)) return u"FAIL";
  return buffer;
}

TEST(PathAppend, JoinsWithExactlyOneSeparator) {
  EXPECT_EQ(Append(u"|docs", u"Corvane"), Native(u"|docs|Corvane"));
  EXPECT_EQ(Append(u"|docs|", u"Corvane"), Native(u"|docs|Corvane")) << "trailing separator";
  EXPECT_EQ(Append(u"|docs", u"\\Corvane"), Native(u"|docs|Corvane")) << "leading separator";
  EXPECT_EQ(Append(u"|docs", u"/Corvane"), Native(u"|docs|Corvane"));
  EXPECT_EQ(Append(u"|docs", u"Profiles\\a.pr0"), Native(u"|docs|Profiles|a.pr0"));
  EXPECT_EQ(Append(u"|docs", u"Profiles/a.pr0"), Native(u"|docs|Profiles|a.pr0"));
  EXPECT_EQ(Append(u"|docs", u""), Native(u"|docs"));
}

TEST(PathAppend, ResolvesDotAndDotDot) {
  EXPECT_EQ(Append(u"|a|b", u".."), Native(u"|a"));
  EXPECT_EQ(Append(u"|a|b", u"..\\c"), Native(u"|a|c"));
  EXPECT_EQ(Append(u"|a|b", u".\\c\\.\\d"), Native(u"|a|b|c|d"));
  EXPECT_EQ(Append(u"|a", u"..\\..\\..\\c"), Native(u"|c")) << "never above the root";
  EXPECT_EQ(Append(u"|a||b", u"c"), Native(u"|a|b|c")) << "doubled separators";
}

TEST(PathAppend, RootFallbackJoinsToARootedPath) {
  std::u16string root = RootFallback();
  EXPECT_EQ(Append(root, u"Corvane"), root + kPathSeparator + u"Corvane");
}

TEST(PathAppend, ResultThatDoesNotFitLeavesThePathUnchanged) {
  std::u16string base = u"|" + std::u16string(250, u'x');
  EXPECT_EQ(Append(base, u"1234567"), Native(base + u"|1234567"));  // 259 units: fits
  EXPECT_EQ(Append(base, u"12345678"), u"FAIL");  // 260 units: no room for the terminator
  char16_t buffer[kMaxPath];
  std::u16string native = Native(base);
  native.copy(buffer, native.size());
  buffer[native.size()] = u'\0';
  EXPECT_FALSE(PathAppend(buffer, u"12345678"));
  EXPECT_EQ(std::u16string(buffer), native);
  EXPECT_FALSE(PathAppend(nullptr, u"a"));
}

}  // namespace
}  // namespace platform
