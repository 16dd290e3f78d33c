// Glob matching without regard to case: the glob is read into tokens, the text into code points,
// then matched with the classic single back-track on "*".
#include "autoprofile/glob.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace autoprofile {
namespace {

bool IsSeparator(char32_t c) { return c == U'/' || c == U'\\'; }

struct Token {
  enum class Kind { kChar, kAny, kStar, kClass };
  Kind kind = Kind::kChar;
  char32_t folded = 0;  // kChar: the character, folded
  bool negated = false;                               // kClass
  std::vector<std::pair<char32_t, char32_t>> ranges;  // kClass: first and last, as written
};

std::vector<char32_t> CodePoints(std::u16string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) out.push_back(platform::NextCodePoint(text, &at));
  return out;
}

// Reads the class whose "[" is glob[at] into *token and moves at past its "]"; false, at
// unchanged, when no "]" closes it.
bool ReadClass(const std::vector<char32_t>& glob, size_t* at, Token* token) {
  size_t i = *at + 1;
  token->kind = Token::Kind::kClass;
  token->negated = i < glob.size() && (glob[i] == U'!' || glob[i] == U'^');
  if (token->negated) ++i;
  for (bool first = true; i < glob.size(); first = false) {
    const char32_t c = glob[i++];
    if (c == U']' && !first) {
      *at = i;
      return true;
    }
    if (i + 1 < glob.size() && glob[i] == U'-' && glob[i + 1] != U']') {
      token->ranges.emplace_back(c, glob[i + 1]);
      i += 2;
    } else {
      token->ranges.emplace_back(c, c);
    }
  }
  token->ranges.clear();
  return false;
}

std::vector<Token> Tokens(std::u16string_view text) {
  const std::vector<char32_t> glob = CodePoints(text);
  std::vector<Token> tokens;
  for (size_t at = 0; at < glob.size();) {
    Token token;
    if (glob[at] == U'*') {
      token.kind = Token::Kind::kStar;
      ++at;
    } else if (glob[at] == U'?') {
      token.kind = Token::Kind::kAny;
      ++at;
    } else if (glob[at] != U'[' || !ReadClass(glob, &at, &token)) {
      token = Token{};
      token.folded = platform::FoldCase(glob[at++]);
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

bool InRange(char32_t c, char32_t first, char32_t last) { return first <= c && c <= last; }

bool ClassHolds(const Token& token, char32_t c, bool path_separators) {
  const char32_t folded = platform::FoldCase(c);
  bool found = false;
  for (const auto& [first, last] : token.ranges) {
    found = InRange(c, first, last) ||
            InRange(folded, platform::FoldCase(first), platform::FoldCase(last)) ||
            (path_separators && IsSeparator(c) &&
             (InRange(U'/', first, last) || InRange(U'\\', first, last)));
    if (found) break;
  }
  return found != token.negated;
}

bool TokenMatches(const Token& token, char32_t c, bool path_separators) {
  switch (token.kind) {
    case Token::Kind::kAny: return true;
    case Token::Kind::kClass: return ClassHolds(token, c, path_separators);
    case Token::Kind::kStar: return false;
    case Token::Kind::kChar: break;
  }
  if (path_separators && IsSeparator(token.folded)) return IsSeparator(c);
  return token.folded == platform::FoldCase(c);
}

}  // namespace

bool GlobMatch(std::u16string_view glob, std::u16string_view text, bool path_separators) {
  const std::vector<Token> tokens = Tokens(glob);
  const std::vector<char32_t> chars = CodePoints(text);
  size_t g = 0, t = 0;
  // Where the last "*" was seen, and the text position it has been tried up to: on a mismatch
  // that "*" takes one character more. Earlier stars never need to be revisited.
  size_t star = SIZE_MAX, star_text = 0;
  while (t < chars.size()) {
    if (g < tokens.size() && tokens[g].kind == Token::Kind::kStar) {
      star = g++;
      star_text = t;
    } else if (g < tokens.size() && TokenMatches(tokens[g], chars[t], path_separators)) {
      ++g;
      ++t;
    } else if (star != SIZE_MAX) {
      g = star + 1;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (g < tokens.size() && tokens[g].kind == Token::Kind::kStar) ++g;
  return g == tokens.size();
}

}  // namespace autoprofile
