// Conversions between the UTF-16 used inside the system and the UTF-8 of Linux paths and
// consoles, and the case mappings used to compare text without regard to case.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Lone surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);
// Invalid sequences become U+FFFD.
std::u16string FromUtf8(std::string_view text);

// The code point at text[*at], moving *at past it: a surrogate pair is one code point, a lone
// surrogate stands for itself. *at must be below text.size().
char32_t NextCodePoint(std::u16string_view text, size_t* at);

// The simple case folding of a code point (Unicode's CaseFolding, statuses C and S): what
// comparisons without regard to case compare.
char32_t FoldCase(char32_t c);
// The simple upper-casing of one UTF-16 unit, as Windows file systems compare names (surrogates
// stay as they are).
char16_t UpperCaseUnit(char16_t unit);

}  // namespace platform
