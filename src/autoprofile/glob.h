// Glob matching of program names, paths and window titles for the automatic-profile rules.
#pragma once

#include <string_view>

namespace autoprofile {

// True when text matches glob, compared by code points (a surrogate pair is one) and without
// regard to case (simple case folding, all of Unicode):
//   "*"      any run of characters, also none;
//   "?"      one character;
//   "[...]"  one character of the class, as in shell globs: "[abc]", ranges "[a-z]", "[!x]" or
//            "[^x]" for any character but those; a "]" first in the class and a "-" first or
//            last stand for themselves; a "[" that no "]" closes stands for itself;
//   every other character itself ("[*]", "[?]" and "[[]" match the signs themselves).
// With path_separators, "/" and "\" in the glob (also in a class) each match either separator.
bool GlobMatch(std::u16string_view glob, std::u16string_view text, bool path_separators = false);

}  // namespace autoprofile
