// The word syntax of scenario files: words separated by spaces, double-quoted words with escapes
// for quote, backslash and line break, comments from a word that starts with '#' outside quotes,
// and $ROOT.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Splits one scenario line into words, replacing "$ROOT" in every word by root. False with a
// short reason when the line is malformed (an open quote, an unknown escape).
bool SplitScenarioLine(std::string_view line, const std::string& root,
                       std::vector<std::string>* words, std::string* error);

}  // namespace sim
