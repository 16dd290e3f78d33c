// Scenario line splitting: quotes, escapes, comments and $ROOT.
#include "sim/scenario_words.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Split(std::string_view line) {
  std::vector<std::string> words;
  std::string error;
  EXPECT_TRUE(sim::SplitScenarioLine(line, "/r", &words, &error)) << error;
  return words;
}

std::string ErrorOf(std::string_view line) {
  std::vector<std::string> words;
  std::string error;
  EXPECT_FALSE(sim::SplitScenarioLine(line, "/r", &words, &error));
  return error;
}

TEST(ScenarioWords, SplitsOnSpacesAndKeepsQuotedSpaces) {
  EXPECT_EQ(Split("  clutch  pad 1\t3 "), (std::vector<std::string>{"clutch", "pad", "1", "3"}));
  EXPECT_EQ(Split("document a.pr0 \"two words\""),
            (std::vector<std::string>{"document", "a.pr0", "two words"}));
  EXPECT_EQ(Split("x \"\""), (std::vector<std::string>{"x", ""}));
}

TEST(ScenarioWords, EscapesInsideQuotes) {
  EXPECT_EQ(Split(R"(file f "a\"b\\c\nd")"), (std::vector<std::string>{"file", "f", "a\"b\\c\nd"}));
  EXPECT_EQ(ErrorOf(R"(file f "a\tb")"), "unknown escape \\t");
  EXPECT_EQ(ErrorOf(R"(file f "open)"), "unterminated quote");
  EXPECT_EQ(ErrorOf(R"(file f "ends\)"), "unterminated quote");
}

TEST(ScenarioWords, CommentsStartOnlyAtAWordOutsideQuotes) {
  EXPECT_EQ(Split("# whole line"), std::vector<std::string>{});
  EXPECT_EQ(Split("wait 10 # later"), (std::vector<std::string>{"wait", "10"}));
  EXPECT_EQ(Split("a b#c \"#d\""), (std::vector<std::string>{"a", "b#c", "#d"}));
}

TEST(ScenarioWords, RootIsReplacedInEveryWord) {
  EXPECT_EQ(Split("active pad \"$ROOT/p q.pr0\" $ROOT$ROOT"),
            (std::vector<std::string>{"active", "pad", "/r/p q.pr0", "/r/r"}));
}

}  // namespace
