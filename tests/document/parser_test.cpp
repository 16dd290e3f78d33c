// The document reader: tokens, element heads, raw values, quoted strings and every error text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parse_harness.h"

namespace {

using document_test::Head;
using document_test::ParseRun;
using document_test::ParseText;
using document_test::ParseUnits;
using Events = std::vector<std::u16string>;

std::u16string Repeat(std::u16string_view text, size_t times) {
  std::u16string out;
  for (size_t i = 0; i < times; ++i) out += text;
  return out;
}

TEST(ParserTest, ReportsHeadsAndEndsInDocumentOrder) {
  ParseRun run = ParseText(u"[root a=1 b='two words'\r\n\t[child=x]\n [leaf]]");
  EXPECT_TRUE(run.ok) << std::string(run.message.begin(), run.message.end());
  EXPECT_EQ(run.events, (Events{Head(u"root", u"", {{u"a", u"1"}, {u"b", u"two words"}}), Head(u"child", u"x"), u"]",
                                Head(u"leaf", u""), u"]", u"]"}));
}

TEST(ParserTest, OwnValueAsWordQuotedStringOrRawValue) {
  EXPECT_EQ(ParseText(u"[a]").events.front(), Head(u"a", u""));
  EXPECT_EQ(ParseText(u"[a=w]").events.front(), Head(u"a", u"w"));
  EXPECT_EQ(ParseText(u"[a='q q']").events.front(), Head(u"a", u"q q"));
  EXPECT_EQ(ParseText(u"[a<3 abc]").events.front(), Head(u"a", u"abc"));
  EXPECT_EQ(ParseText(u"[a<3 abc> k=v]").events.front(), Head(u"a", u"abc", {{u"k", u"v"}}));
}

TEST(ParserTest, EmptyInputAndByteOrderMarkOnly) {
  ParseRun empty = ParseUnits(u"");
  EXPECT_FALSE(empty.ok);
  EXPECT_EQ(empty.message, u"Error reading from input");
  ParseRun mark_only = ParseText(u"");
  EXPECT_TRUE(mark_only.ok);
  EXPECT_TRUE(mark_only.events.empty());
  EXPECT_TRUE(ParseText(u" \r\n\t ").ok);
}

// One line per message of the reader's failure table.
TEST(ParserTest, EveryErrorMessage) {
  struct Case {
    std::u16string units;
    const char16_t* message;
  };
  const std::u16string bom = u"\uFEFF";
  const std::vector<Case> cases = {
      {u"", u"Error reading from input"},
      {u"[a]", u"utf16LE, byte order mark missing from start of input (0xFF,0xFE)"},
      {bom + u"<?xml?>", u"This smells like xml."},
      {bom + u"[]", u"Invalid syntax - Match failed - expected NAME"},
      {bom + u"[a b=]", u"Invalid syntax - Match failed - expected NAME"},
      {bom + u"[a=[b]]", u"Invalid syntax - Match failed - expected NAME"},
      {bom + u"[a b c]", u"Attribute value missing"},
      {bom + u"[a b=c=d]", u"Syntax error - attributes should end with '[' or ']'"},
      {bom + u"[a", u"Syntax error - attributes should end with '[' or ']'"},
      {bom + u"[a b='x]", u"Invalid syntax - Missing ' from end of string"},
      {bom + u"[a" + Repeat(u" b=c", 1023) + u"]", u"Element has too many attributes"},
      {bom + u"[a b='" + Repeat(u"x", 5000) + u"']", u"Element bigger than buffer"},
      {bom + u"[a][b]", u"Bracket missmatch: more RBs than LBs at this point."},
      {bom + u"[a]]", u"Bracket missmatch: more RBs than LBs at this point."},
      {bom + u"[a[b]", u"Bracket missmatch: more LBs than RBs at end of parse."},
      {bom + u"[a [b] text [c]]", u"Bracket missmatch: more LBs than RBs at end of parse."},
      {bom + u"a", u"Invalid syntax - Match failed - expected EOI"},
      {bom + u"]", u"Invalid syntax - Match failed - expected EOI"},
  };
  for (const Case& c : cases) {
    ParseRun run = ParseUnits(c.units);
    EXPECT_FALSE(run.ok) << "case " << (&c - cases.data());
    EXPECT_EQ(run.message, c.message) << "case " << (&c - cases.data());
  }
  ParseRun small = ParseText(u"[a]", 4);
  EXPECT_EQ(small.message, u"Initial input buffer too small");
}

TEST(ParserTest, FirstErrorWinsAndNoEventFollowsIt) {
  // The missing quote ends the input; the open bracket would fail too, but the first error counts.
  ParseRun run = ParseText(u"[a [b] [c x='open");
  EXPECT_EQ(run.message, u"Invalid syntax - Missing ' from end of string");
  EXPECT_EQ(run.events, (Events{Head(u"a", u""), Head(u"b", u""), u"]"}));
  // A bad element head reports nothing of itself.
  ParseRun bad = ParseText(u"[a [b c d]]");
  EXPECT_EQ(bad.message, u"Attribute value missing");
  EXPECT_EQ(bad.events, (Events{Head(u"a", u"")}));
}

TEST(ParserTest, AttributeLimitIs1022) {
  std::vector<std::pair<std::u16string, std::u16string>> expected(1022, {u"b", u"c"});
  ParseRun run = ParseText(u"[a" + Repeat(u" b=c", 1022) + u"]");
  ASSERT_TRUE(run.ok);
  EXPECT_EQ(run.events.front(), Head(u"a", u"", expected));
}

TEST(ParserTest, QuotedStringEscapes) {
  EXPECT_EQ(ParseText(u"[a v='it\\'s']").events.front(), Head(u"a", u"", {{u"v", u"it's"}}));
  // Without an escaped quote a backslash pair before the closing quote stays two units...
  EXPECT_EQ(ParseText(u"[a v='dir\\\\']").events.front(), Head(u"a", u"", {{u"v", u"dir\\\\"}}));
  // ...and with one it shrinks to one.
  EXPECT_EQ(ParseText(u"[a v='x\\'y\\\\']").events.front(), Head(u"a", u"", {{u"v", u"x'y\\"}}));
  // Other backslashes are ordinary units.
  EXPECT_EQ(ParseText(u"[a v='\\n\\t']").events.front(), Head(u"a", u"", {{u"v", u"\\n\\t"}}));
  EXPECT_EQ(ParseText(u"[a v='[x] = <y>\r\n\tz']").events.front(), Head(u"a", u"", {{u"v", u"[x] = <y>\r\n\tz"}}));
  EXPECT_EQ(ParseText(u"[a v='']").events.front(), Head(u"a", u"", {{u"v", u""}}));
  EXPECT_EQ(ParseText(u"['quoted name' 'k k'='v v']").events.front(), Head(u"quoted name", u"", {{u"k k", u"v v"}}));
}

TEST(ParserTest, QuoteInFirstThreeWindowUnitsAlwaysCloses) {
  // The opening quote is the last unit of the first window and nothing is held, so the string
  // text starts at index 0 of the refilled window. A quote at index 2 after a backslash closes
  // the string; at index 3 it is escaped.
  const std::u16string lead = std::u16string(4094, u' ') + u"'";
  EXPECT_EQ(ParseText(lead + u"x\\'").message, u"Invalid syntax - Match failed - expected EOI");
  EXPECT_EQ(ParseText(lead + u"xy\\'").message, u"Invalid syntax - Missing ' from end of string");
  // The same inside an element head: the first head's '[' is the first window's last unit, so
  // its quoted name starts at index 0 of the next window (a line break follows, so that the head
  // ends before the window's last unit).
  const std::u16string blank(4094, u' ');
  EXPECT_EQ(ParseText(blank + u"['\\'=v' k=w]\r\n").events.front(), Head(u"\\", u"v'", {{u"k", u"w"}}));
  EXPECT_EQ(ParseText(blank + u"['x\\'=v']\r\n").events.front(), Head(u"x'=v", u"", {}));
}

TEST(ParserTest, WordsMayHoldQuotesAndAngleBrackets) {
  EXPECT_EQ(ParseText(u"[a k=it's x>y=z\\]").events.front(), Head(u"a", u"", {{u"k", u"it's"}, {u"x>y", u"z\\"}}));
}

TEST(ParserTest, RawValues) {
  EXPECT_EQ(ParseText(u"[a v<5 ]'=[]>]").events.front(), Head(u"a", u"", {{u"v", u"]'=[]"}}));
  EXPECT_EQ(ParseText(u"[a v<5 ]'=[]]").events.front(), Head(u"a", u"", {{u"v", u"]'=[]"}}));
  EXPECT_EQ(ParseText(u"[a v<3\r\n  abc w=x]").events.front(), Head(u"a", u"", {{u"v", u"abc"}, {u"w", u"x"}}));
  EXPECT_EQ(ParseText(u"[a v<0>]").events.front(), Head(u"a", u"", {{u"v", u""}}));
  EXPECT_EQ(ParseText(u"[a v<>]").events.front(), Head(u"a", u"", {{u"v", u""}}));
  EXPECT_EQ(ParseText(u"[a v < 2 xy]").events.front(), Head(u"a", u"", {{u"v", u"xy"}}));
  // Raw data may hold U+0000, which elsewhere would end the input.
  EXPECT_EQ(ParseText(std::u16string(u"[a v<3 x\0y]", 11)).events.front(),
            Head(u"a", u"", {{u"v", std::u16string(u"x\0y", 3)}}));
  // A raw value larger than the window.
  const std::u16string big = Repeat(u"0123456789", 1000);
  EXPECT_EQ(ParseText(u"[a v<10000 " + big + u"]").events.front(), Head(u"a", u"", {{u"v", big}}));
}

TEST(ParserTest, RawValueRunningPastTheEnd) {
  EXPECT_EQ(ParseText(u"[a v<10 abc]").message, u"Syntax error - attributes should end with '[' or ']'");
  // A count far beyond the input takes only what the input holds.
  EXPECT_EQ(ParseText(u"[a v<1099511627776 abc]").message, u"Syntax error - attributes should end with '[' or ']'");
  EXPECT_EQ(ParseText(u"[a v<18446744073709551615 abc]").message,
            u"Syntax error - attributes should end with '[' or ']'");
  // The input ends before the count.
  EXPECT_EQ(ParseText(u"[a v<").message, u"Syntax error - attributes should end with '[' or ']'");
}

TEST(ParserTest, NullUnitEndsTheInput) {
  EXPECT_EQ(ParseText(std::u16string(u"[a]\0[b]", 7)).message, u"");
  EXPECT_EQ(ParseText(std::u16string(u"[a\0]", 4)).message, u"Syntax error - attributes should end with '[' or ']'");
  EXPECT_EQ(ParseText(std::u16string(u"[a b='x\0']", 10)).message, u"Invalid syntax - Missing ' from end of string");
}

TEST(ParserTest, WhitespaceIsOnlyTabLineFeedReturnAndSpace) {
  // A vertical tab or a no-break space is part of a word.
  EXPECT_EQ(ParseText(u"[a\u000Bb]").events.front(), Head(u"a\u000Bb", u""));
  EXPECT_EQ(ParseText(u"[a\u00A0b=c]").events.front(), Head(u"a\u00A0b", u"c"));
}

// Builds a document whose target text begins at window index offset: small filler elements move
// it there, so that the element held across a refill stays short.
std::u16string PlaceAt(size_t offset, std::u16string_view target) {
  std::u16string text = u"[r";
  size_t at = 3;  // after the byte order mark and "[r"
  while (at + 3 <= offset) {
    text += u"[f]";
    at += 3;
  }
  text.append(offset - at, u' ');
  text += target;
  text += u"]";
  return text;
}

Events TargetEvents(const ParseRun& run) {
  Events out;
  for (const std::u16string& e : run.events) {
    if (e != u"]" && e.rfind(u"<f|", 0) != 0 && e.rfind(u"<r|", 0) != 0) out.push_back(e);
  }
  return out;
}

// Slides each construct across the end of the first window, one unit at a time.
TEST(ParserTest, ConstructsAcrossTheWindowEnd) {
  struct Case {
    std::u16string target;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"[element first=1 second='two' third=3]", Head(u"element", u"", {{u"first", u"1"}, {u"second", u"two"}, {u"third", u"3"}})},
      {u"[e v='ab\\'cd\\'ef']", Head(u"e", u"", {{u"v", u"ab'cd'ef"}})},
      {u"[e v='ab\\'c\\\\' w=z]", Head(u"e", u"", {{u"v", u"ab'c\\"}, {u"w", u"z"}})},
      {u"[e v='abcd\\\\' w=z]", Head(u"e", u"", {{u"v", u"abcd\\\\"}, {u"w", u"z"}})},
      {u"[e v<12 ]]]]]]]]]]]]> w=z]", Head(u"e", u"", {{u"v", u"]]]]]]]]]]]]"}, {u"w", u"z"}})},
      {u"[e<4 own!  w<2 xy]", Head(u"e", u"own!", {{u"w", u"xy"}})},
      {u"['quoted element' 'k'='v']", Head(u"quoted element", u"", {{u"k", u"v"}})},
  };
  for (const Case& c : cases) {
    for (size_t offset = 4096 - 45; offset <= 4096 + 5; ++offset) {
      ParseRun run = ParseText(PlaceAt(offset, c.target));
      ASSERT_TRUE(run.ok) << "offset " << offset << " case " << (&c - cases.data()) << ": "
                          << std::string(run.message.begin(), run.message.end());
      EXPECT_EQ(TargetEvents(run), (Events{c.expected})) << "offset " << offset << " case " << (&c - cases.data());
    }
  }
}

// Names, values and blank runs longer than sixteen units, with units outside ASCII (U+00FF and
// U+FF3D narrow to the same bytes as no delimiter; U+015B and U+0127 share their low byte with
// '[' and '\''), read in steps of sixteen units, slid across the end of the first window.
TEST(ParserTest, LongTokensAcrossTheWindowEnd) {
  const std::u16string name = u"element_with_a_name_of_thirty_two";
  const std::u16string value = u"a quoted value \u015B\u0127 \u00FF\uFF3D longer than thirty-two units";
  const std::u16string target = u"[" + name + u"                    attribute_name_over_sixteen='" + value +
                                u"'\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\tguid={6B1B7D3A-1C2D-4E5F-8A9B-0C1D2E3F4A5B}]";
  const std::u16string expected = Head(name, u"", {{u"attribute_name_over_sixteen", value},
                                                   {u"guid", u"{6B1B7D3A-1C2D-4E5F-8A9B-0C1D2E3F4A5B}"}});
  for (size_t offset = 4096 - target.size() - 20; offset <= 4096 + 5; ++offset) {
    ParseRun run = ParseText(PlaceAt(offset, target));
    ASSERT_TRUE(run.ok) << "offset " << offset;
    EXPECT_EQ(TargetEvents(run), (Events{expected})) << "offset " << offset;
  }
}

TEST(ParserTest, TokensAtEveryOffsetOfTheBlockScan) {
  // The one-pass path reads the window in blocks of 64 units: words, blanks and quoted strings
  // here begin, end and cross block edges at every offset, with units whose low byte is a unit of
  // the syntax (a quote, '=', ']', '[', a blank) and a word that ends at the closing bracket.
  const std::u16string text = u"two words \u0127\u013D\u015B\uFF3D\u0A5B\u2020 crossing a block or two of units, ";
  const std::u16string head = u"[tag\u0109 x=a\u0127b y='" + text + text + u"'\tz=\u0A3D]";
  const std::u16string expected =
      Head(u"tag\u0109", u"", {{u"x", u"a\u0127b"}, {u"y", text + text}, {u"z", u"\u0A3D"}});
  for (size_t pad = 1; pad <= 130; ++pad) {
    const std::u16string own(pad, u'w');
    ParseRun run = ParseText(u"[r=" + own + std::u16string(pad, u' ') + head + u" [s='" + own + u"'" + head + u"]]");
    ASSERT_TRUE(run.ok) << "pad " << pad;
    EXPECT_EQ(run.events, (Events{Head(u"r", own), expected, u"]", Head(u"s", own), expected, u"]", u"]", u"]"}))
        << "pad " << pad;
  }
  // A word straight after a closing quote is a token of its own, though no blank begins it.
  EXPECT_EQ(ParseText(u"[t q='ab'cd]  ").message, u"Attribute value missing");
  // U+0000 ends the input inside a quoted string too.
  EXPECT_EQ(ParseText(std::u16string(u"[t q='a\0 b=c']  ", 17)).message, u"Invalid syntax - Missing ' from end of string");
}

TEST(ParserTest, DocumentFarLargerThanTheWindow) {
  std::u16string text = u"[root";
  const int count = 20000;
  for (int i = 0; i < count; ++i) {
    const std::string digits = std::to_string(i);
    const std::u16string n(digits.begin(), digits.end());
    text += u"\r\n  [item id=" + n + u" name='item " + n + u"' data<2 " + n.substr(0, 1) + u"!]";
  }
  text += u"\r\n]";
  ParseRun run = ParseText(text);
  ASSERT_TRUE(run.ok) << std::string(run.message.begin(), run.message.end());
  ASSERT_EQ(run.events.size(), 2u * count + 2);
  EXPECT_EQ(run.events[1], Head(u"item", u"", {{u"id", u"0"}, {u"name", u"item 0"}, {u"data", u"0!"}}));
  EXPECT_EQ(run.events[2 * 12345 + 1], Head(u"item", u"", {{u"id", u"12345"}, {u"name", u"item 12345"}, {u"data", u"1!"}}));
  EXPECT_EQ(run.events[2 * (count - 1) + 1],
            Head(u"item", u"", {{u"id", u"19999"}, {u"name", u"item 19999"}, {u"data", u"1!"}}));
}

TEST(ParserTest, HeadStaysInTheWindowUntilTheNextHeadBegins) {
  // The last element head is kept at each refill until another head starts, so text after it
  // that outgrows the window fails even between elements.
  ParseRun run = ParseText(u"[r [f]" + std::u16string(5000, u' ') + u"[g]]");
  EXPECT_EQ(run.message, u"Element bigger than buffer");
  // Closing brackets followed by small elements keep going.
  std::u16string deep = Repeat(u"[n", 3000) + Repeat(u"]", 3000);
  EXPECT_TRUE(ParseText(deep).ok);
}

TEST(ParserTest, DeepNestingNeedsNoStack) {
  // Closing brackets are interleaved with small heads: a run of them longer than the window
  // would outgrow it behind the last head.
  std::u16string text = Repeat(u"[n", 200000) + Repeat(u"[x]]", 200000);
  ParseRun run = ParseText(text);
  EXPECT_TRUE(run.ok) << std::string(run.message.begin(), run.message.end());
  EXPECT_EQ(run.events.size(), 800000u);
}

TEST(ParserTest, SmallWindowsRefillAtEveryUnit) {
  // Capacity only matters to where refills happen: a head that fits still parses.
  ParseRun run = ParseText(u"[a [bc d=e] [f]]", 16);
  EXPECT_TRUE(run.ok) << std::string(run.message.begin(), run.message.end());
  EXPECT_EQ(run.events, (Events{Head(u"a", u""), Head(u"bc", u"", {{u"d", u"e"}}), u"]", Head(u"f", u""), u"]", u"]"}));
  EXPECT_EQ(ParseText(u"[a [bcdefghijklmnopq]]", 16).message, u"Element bigger than buffer");
}

TEST(ParserTest, BlockScanEndsWhereTheWindowsDataEnds) {
  // Windows of 65 to 130 units, each read ending at a different point: a quoted string that closes
  // at the last unit the block walk may use must not send it into units no read has filled, nor
  // into the masks of an earlier window.
  for (size_t capacity = 65; capacity <= 130; ++capacity) {
    for (size_t pad = 0; pad + 16 < capacity; ++pad) {
      const std::u16string quoted = u"'" + std::u16string(pad, u'q') + u"'";
      ParseRun run = ParseText(u"[r [s=" + std::u16string(40, u'w') + u"] [t a=" + quoted + u"] [u b=" + quoted + u"]]", capacity);
      ASSERT_TRUE(run.ok) << "capacity " << capacity << " pad " << pad << ": " << std::string(run.message.begin(), run.message.end());
      ASSERT_EQ(run.events.size(), 8u) << "capacity " << capacity << " pad " << pad;
    }
  }
}

TEST(ParserTest, ParseContextCanBeReused) {
  VexNode::ParseContext context;
  std::u16string first = u"\uFEFF[a";
  std::u16string second = u"\uFEFF[b c=d]";
  struct Input {
    std::u16string* text;
    size_t at;
  };
  auto read = [](void* user, char16_t* destination, size_t* count) {
    auto* in = static_cast<Input*>(user);
    size_t n = std::min(*count, in->text->size() - in->at);
    std::copy_n(in->text->data() + in->at, n, destination);
    in->at += n;
    *count = n;
    return n != 0;
  };
  context.ReadInput = read;
  char16_t window[VexNode::kWindowUnits] = {};
  Input in1{&first, 0};
  EXPECT_FALSE(context.Parse(window, &in1));
  Input in2{&second, 0};
  std::fill(std::begin(window), std::end(window), u'\0');
  EXPECT_TRUE(context.Parse(window, &in2));
  EXPECT_EQ(context.Message(), nullptr);
}

}  // namespace
