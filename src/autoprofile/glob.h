// Glob matching of program names, paths and window titles for the automatic-profile rules.
#pragma once

#include <string_view>

namespace autoprofile {

// True when text matches glob: "*" any run of units (also none), "?" one unit, every other unit
// itself, compared without regard to case. With path_separators, "/" and "\" in the glob each
// match either separator in text.
bool GlobMatch(std::u16string_view glob, std::u16string_view text, bool path_separators = false);

// The unit folded for comparison without regard to case (ASCII and Latin-1 letters).
char16_t FoldCase(char16_t unit);

}  // namespace autoprofile
