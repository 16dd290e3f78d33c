// Scenario line splitting.
#include "sim/scenario_words.h"

namespace sim {
namespace {

void ReplaceRoot(std::string* word, const std::string& root) {
  static constexpr std::string_view kRoot = "$ROOT";
  for (size_t at = word->find(kRoot); at != std::string::npos;
       at = word->find(kRoot, at + root.size())) {
    word->replace(at, kRoot.size(), root);
  }
}

// Reads a quoted part starting after the opening quote; at is left after the closing quote.
bool ReadQuoted(std::string_view line, size_t* at, std::string* word, std::string* error) {
  while (*at < line.size()) {
    const char c = line[(*at)++];
    if (c == '"') return true;
    if (c != '\\') {
      word->push_back(c);
      continue;
    }
    if (*at >= line.size()) break;
    const char escaped = line[(*at)++];
    if (escaped == 'n') {
      word->push_back('\n');
    } else if (escaped == '"' || escaped == '\\') {
      word->push_back(escaped);
    } else {
      *error = std::string("unknown escape \\") + escaped;
      return false;
    }
  }
  *error = "unterminated quote";
  return false;
}

}  // namespace

bool SplitScenarioLine(std::string_view line, const std::string& root,
                       std::vector<std::string>* words, std::string* error) {
  words->clear();
  size_t at = 0;
  while (at < line.size()) {
    if (line[at] == ' ' || line[at] == '\t' || line[at] == '\r') {
      ++at;
      continue;
    }
    if (line[at] == '#') break;  // a comment to the end of the line
    std::string word;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r') {
      const char c = line[at++];
      if (c == '"') {
        if (!ReadQuoted(line, &at, &word, error)) return false;
      } else {
        word.push_back(c);
      }
    }
    ReplaceRoot(&word, root);
    words->push_back(std::move(word));
  }
  return true;
}

}  // namespace sim
