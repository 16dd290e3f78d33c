// The rules reader. toml++ is used here alone, header-only and without exceptions: its parse
// result carries the error, and every check below reports by result.
#define TOML_EXCEPTIONS 0
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include "autoprofile/rules.h"

#include <cstdio>
#include <memory>

#include "platform/files.h"
#include "platform/text.h"

namespace autoprofile {
namespace {

// Collects the first error with its place in the file.
class Checker {
 public:
  explicit Checker(std::string_view source) : source_(source) {}

  bool Fail(const toml::source_region& where, const std::string& what) {
    if (error_.empty()) {
      error_ = source_ + ":" + std::to_string(where.begin.line) + ":" +
               std::to_string(where.begin.column) + ": " + what;
    }
    return false;
  }
  const std::string& error() const { return error_; }

  // A string value, or an error naming key and what it must be.
  bool String(const toml::node& node, std::string_view key, std::u16string* out) {
    const auto* value = node.as_string();
    if (value == nullptr) return Fail(node.source(), "\"" + std::string(key) + "\" must be a string");
    if (value->get().empty()) {
      return Fail(node.source(), "\"" + std::string(key) + "\" must not be empty");
    }
    *out = platform::FromUtf8(value->get());
    return true;
  }

  // One of the words of choices (the index into it), or an error listing them.
  bool Word(const toml::node& node, std::string_view key,
            std::initializer_list<std::string_view> choices, int* out) {
    const auto* value = node.as_string();
    int index = 0;
    for (std::string_view choice : choices) {
      if (value != nullptr && value->get() == choice) return *out = index, true;
      ++index;
    }
    std::string list;
    for (std::string_view choice : choices) {
      list += (list.empty() ? "\"" : " or \"") + std::string(choice) + "\"";
    }
    return Fail(node.source(), "\"" + std::string(key) + "\" must be " + list);
  }

 private:
  std::string source_;
  std::string error_;
};

bool ReadTop(const toml::table& top, Checker& check, Rules* rules) {
  for (const auto& [key, node] : top) {
    const std::string_view name = key.str();
    int word = 0;
    if (name == "when_unmatched") {
      if (!check.Word(node, name, {"keep", "default", "clear"}, &word)) return false;
      rules->when_unmatched = static_cast<Unmatched>(word);
    } else if (name == "default_profile") {
      if (!check.String(node, name, &rules->default_profile)) return false;
    } else if (name == "delay_ms") {
      const auto* value = node.as_integer();
      if (value == nullptr || value->get() < 0 || value->get() > kMaxDelayMs) {
        return check.Fail(node.source(), "\"delay_ms\" must be an integer from 0 to 60000");
      }
      rules->delay_ms = static_cast<uint32_t>(value->get());
    } else if (name != "rule") {
      return check.Fail(key.source(), "unknown key \"" + std::string(name) + "\"");
    }
  }
  if (rules->when_unmatched == Unmatched::kDefault && rules->default_profile.empty()) {
    return check.Fail(top["when_unmatched"].node()->source(),
                      "when_unmatched = \"default\" needs \"default_profile\"");
  }
  return true;
}

bool ReadRuleKey(const toml::key& key, const toml::node& node, Checker& check, Rule* rule,
                 bool* clear_given) {
  const std::string_view name = key.str();
  if (name == "program") return check.String(node, name, &rule->program);
  if (name == "path") return check.String(node, name, &rule->path);
  if (name == "title") return check.String(node, name, &rule->title);
  if (name == "profile") return check.String(node, name, &rule->profile);
  if (name == "trigger") {
    int word = 0;
    if (!check.Word(node, name, {"focus", "running"}, &word)) return false;
    rule->trigger = static_cast<Trigger>(word);
    return true;
  }
  if (name == "clear") {
    const auto* value = node.as_boolean();
    if (value == nullptr) return check.Fail(node.source(), "\"clear\" must be true or false");
    rule->clear = value->get();
    *clear_given = true;
    return true;
  }
  if (name == "controller") {
    std::u16string text;
    if (!check.String(node, name, &text)) return false;
    if (!platform::ParseGuid(text, &rule->controller)) {
      return check.Fail(node.source(), "\"controller\" is not a device type GUID");
    }
    rule->has_controller = true;
    return true;
  }
  return check.Fail(key.source(), "unknown key \"" + std::string(name) + "\" in rule " +
                                      std::to_string(rule->number));
}

bool ReadRule(const toml::table& table, Checker& check, Rule* rule) {
  bool clear_given = false;
  for (const auto& [key, node] : table) {
    if (!ReadRuleKey(key, node, check, rule, &clear_given)) return false;
  }
  const std::string which = "rule " + std::to_string(rule->number);
  if (rule->program.empty() && rule->path.empty() && rule->title.empty()) {
    return check.Fail(table.source(), which + " needs \"program\", \"path\" or \"title\"");
  }
  if (rule->clear == !rule->profile.empty()) {
    return check.Fail(table.source(), which + " needs exactly one of \"profile\" and clear = true");
  }
  if (rule->trigger == Trigger::kRunning && !rule->title.empty()) {
    return check.Fail(table["title"].node()->source(),
                      which + ": \"title\" cannot be used with trigger = \"running\"");
  }
  return true;
}

}  // namespace

bool Rules::HasRunningRule() const {
  for (const Rule& rule : rules) {
    if (rule.trigger == Trigger::kRunning) return true;
  }
  return false;
}

bool ParseRules(std::string_view text, std::string_view source, Rules* out, std::string* error) {
  Checker check(source);
  toml::parse_result parsed = toml::parse(text, source);
  if (!parsed) {
    check.Fail(parsed.error().source(), std::string(parsed.error().description()));
    *error = check.error();
    return false;
  }
  const toml::table& top = parsed.table();
  Rules rules;
  bool ok = ReadTop(top, check, &rules);
  if (const toml::node* list = top.get("rule"); ok && list != nullptr) {
    const toml::array* array = list->as_array();
    if (array == nullptr || !array->is_array_of_tables()) {
      ok = check.Fail(list->source(), "\"rule\" must be a list of tables ([[rule]])");
    }
    for (size_t i = 0; ok && array != nullptr && i < array->size(); ++i) {
      Rule rule;
      rule.number = static_cast<int>(i + 1);
      ok = ReadRule(*array->get(i)->as_table(), check, &rule);
      rules.rules.push_back(std::move(rule));
    }
  }
  if (!ok) {
    *error = check.error();
    return false;
  }
  *out = std::move(rules);
  return true;
}

ReadResult ReadRulesFile(const std::u16string& path, Rules* out, std::string* error) {
  const std::string source = platform::ToUtf8(path);
  if (platform::FileAttributes(path) == platform::kInvalidAttributes) return ReadResult::kMissing;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(platform::OpenSharedRead(path, "rb"),
                                                        &std::fclose);
  if (file == nullptr) {
    *error = source + ": cannot be read";
    return ReadResult::kFailed;
  }
  std::string text(kMaxRulesFileBytes + 1, '\0');
  const size_t length = std::fread(text.data(), 1, text.size(), file.get());
  if (length > kMaxRulesFileBytes) {
    *error = source + ": larger than 1 MB, not read";
    return ReadResult::kFailed;
  }
  text.resize(length);
  return ParseRules(text, source, out, error) ? ReadResult::kRead : ReadResult::kFailed;
}

}  // namespace autoprofile
