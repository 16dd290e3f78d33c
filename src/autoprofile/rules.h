// The automatic-profile rules as plain values, and the reader of the rules file (TOML).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/guid.h"

namespace autoprofile {

inline constexpr uint32_t kDefaultDelayMs = 250;
inline constexpr uint32_t kMaxDelayMs = 60000;
inline constexpr size_t kMaxRulesFileBytes = 1024 * 1024;

enum class Trigger { kFocus, kRunning };
enum class Unmatched { kKeep, kDefault, kClear };

struct Rule {
  int number = 0;  // its place among the [[rule]] tables, from 1
  // Globs; empty when the key is absent (a rule has at least one of the three).
  std::u16string program;
  std::u16string path;
  std::u16string title;
  bool has_controller = false;
  platform::Guid controller;  // the device type the rule is for, when has_controller
  Trigger trigger = Trigger::kFocus;
  bool clear = false;    // clears the active profile; else profile is loaded
  std::u16string profile;

  friend bool operator==(const Rule&, const Rule&) = default;
};

struct Rules {
  Unmatched when_unmatched = Unmatched::kKeep;
  std::u16string default_profile;
  uint32_t delay_ms = kDefaultDelayMs;
  std::vector<Rule> rules;

  bool HasRunningRule() const;
};

// Reads rules from the text of a rules file; source names the file in messages. False with
// *error as "SOURCE:LINE:COLUMN: what is wrong" (the first mistake) when the text is not a valid
// rules file; *out is then untouched. all_errors, when given, gets every mistake found: all of
// them once the text is TOML, else the TOML error alone.
bool ParseRules(std::string_view text, std::string_view source, Rules* out, std::string* error,
                std::vector<std::string>* all_errors = nullptr);

enum class ReadResult { kRead, kMissing, kFailed };
// Reads the rules file at path (at most kMaxRulesFileBytes). kMissing: no file (no rules);
// kFailed: *error says why ("SOURCE: is a folder, not a file", "SOURCE: cannot be read: REASON"
// or the first mistake; all_errors, when given, every one) and *out is untouched.
ReadResult ReadRulesFile(const std::u16string& path, Rules* out, std::string* error,
                         std::vector<std::string>* all_errors = nullptr);

}  // namespace autoprofile
