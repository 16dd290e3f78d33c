// The rules reader. toml++ is used here alone, header-only and without exceptions: its parse
// result carries the error, and every check below reports by result.
#define TOML_EXCEPTIONS 0
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/impl/preprocessor.h>
// toml++ checks its own parser's invariants with TOML_ASSERT: assert() (abort) in builds without
// NDEBUG, and in builds with it an assumption for the optimiser (TOML_ASSERT_ASSUME), which is
// undefined behaviour when it is false. Some rules files break one ("[[" and a control character
// reach parse_key, which asserts a key begins there); the parser reports the error on its next
// step either way. So in every build the checks are left out and nothing is assumed: no rules
// file ends the service, and the fuzz target runs this same configuration under the sanitizers.
#undef TOML_ASSERT
#undef TOML_ASSERT_ASSUME
#define TOML_ASSERT(expr) static_cast<void>(0)
#define TOML_ASSERT_ASSUME(expr) static_cast<void>(0)
#include <toml++/toml.h>

#include "autoprofile/rules.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/files.h"
#include "platform/text.h"

namespace autoprofile {
namespace {

// Collects every error with its place in the file.
class Checker {
 public:
  explicit Checker(std::string_view source) : source_(source) {}

  bool Fail(const toml::source_region& where, const std::string& what) {
    errors_.push_back(source_ + ":" + std::to_string(where.begin.line) + ":" +
                      std::to_string(where.begin.column) + ": " + what);
    return false;
  }
  const std::vector<std::string>& errors() const { return errors_; }

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
  std::vector<std::string> errors_;
};

// Each check goes on after a mistake so that every mistake is found; a key that is present but
// wrong counts as given for the checks between keys, which would only repeat its error.
bool ReadTop(const toml::table& top, Checker& check, Rules* rules) {
  bool ok = true;
  for (const auto& [key, node] : top) {
    const std::string_view name = key.str();
    int word = 0;
    if (name == "when_unmatched") {
      if (check.Word(node, name, {"keep", "default", "clear"}, &word)) {
        rules->when_unmatched = static_cast<Unmatched>(word);
      } else {
        ok = false;
      }
    } else if (name == "default_profile") {
      ok = check.String(node, name, &rules->default_profile) && ok;
    } else if (name == "delay_ms") {
      const auto* value = node.as_integer();
      if (value == nullptr || value->get() < 0 || value->get() > kMaxDelayMs) {
        ok = check.Fail(node.source(), "\"delay_ms\" must be an integer from 0 to 60000");
      } else {
        rules->delay_ms = static_cast<uint32_t>(value->get());
      }
    } else if (name != "rule") {
      ok = check.Fail(key.source(), "unknown key \"" + std::string(name) + "\"");
    }
  }
  if (rules->when_unmatched == Unmatched::kDefault && !top.contains("default_profile")) {
    ok = check.Fail(top["when_unmatched"].node()->source(),
                    "when_unmatched = \"default\" needs \"default_profile\"");
  }
  return ok;
}

bool ReadRuleKey(const toml::key& key, const toml::node& node, Checker& check, Rule* rule) {
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
  bool ok = true;
  for (const auto& [key, node] : table) ok = ReadRuleKey(key, node, check, rule) && ok;
  const std::string which = "rule " + std::to_string(rule->number);
  if (!table.contains("program") && !table.contains("path") && !table.contains("title")) {
    ok = check.Fail(table.source(), which + " needs \"program\", \"path\" or \"title\"");
  }
  const toml::node* clear = table.get("clear");
  if ((clear == nullptr || clear->is_boolean()) && rule->clear == table.contains("profile")) {
    ok = check.Fail(table.source(), which + " needs exactly one of \"profile\" and clear = true");
  }
  if (rule->trigger == Trigger::kRunning && table.contains("title")) {
    ok = check.Fail(table["title"].node()->source(),
                    which + ": \"title\" cannot be used with trigger = \"running\"");
  }
  return ok;
}

}  // namespace

bool Rules::HasRunningRule() const {
  for (const Rule& rule : rules) {
    if (rule.trigger == Trigger::kRunning) return true;
  }
  return false;
}

bool ParseRules(std::string_view text, std::string_view source, Rules* out, std::string* error,
                std::vector<std::string>* all_errors) {
  Checker check(source);
  toml::parse_result parsed = toml::parse(text, source);
  Rules rules;
  bool ok = false;
  if (!parsed) {
    check.Fail(parsed.error().source(), std::string(parsed.error().description()));
  } else {
    const toml::table& top = parsed.table();
    ok = ReadTop(top, check, &rules);
    if (const toml::node* list = top.get("rule"); list != nullptr) {
      const toml::array* array = list->as_array();
      const bool tables = array != nullptr && array->is_array_of_tables();
      if (!tables) ok = check.Fail(list->source(), "\"rule\" must be a list of tables ([[rule]])");
      for (size_t i = 0; tables && i < array->size(); ++i) {
        Rule rule;
        rule.number = static_cast<int>(i + 1);
        ok = ReadRule(*array->get(i)->as_table(), check, &rule) && ok;
        rules.rules.push_back(std::move(rule));
      }
    }
  }
  if (!check.errors().empty()) {
    *error = check.errors().front();
    if (all_errors != nullptr) *all_errors = check.errors();
    return false;
  }
  *out = std::move(rules);
  return true;
}

ReadResult ReadRulesFile(const std::u16string& path, Rules* out, std::string* error,
                         std::vector<std::string>* all_errors) {
  const std::string source = platform::ToUtf8(path);
  const uint32_t attributes = platform::FileAttributes(path);
  if (attributes == platform::kInvalidAttributes) return ReadResult::kMissing;
  const auto failed = [&](const std::string& why) {
    *error = source + ": " + why;
    if (all_errors != nullptr) *all_errors = {*error};
    return ReadResult::kFailed;
  };
  // Opening a folder for reading succeeds on Linux, and reading it then fails.
  if ((attributes & platform::kAttributeDirectory) != 0) return failed("is a folder, not a file");
  errno = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(platform::OpenSharedRead(path, "rb"),
                                                        &std::fclose);
  if (file == nullptr) return failed(std::string("cannot be read: ") + std::strerror(errno));
  std::string text(kMaxRulesFileBytes + 1, '\0');
  errno = 0;
  const size_t length = std::fread(text.data(), 1, text.size(), file.get());
  if (std::ferror(file.get()) != 0) {
    return failed(std::string("cannot be read: ") + std::strerror(errno));
  }
  if (length > kMaxRulesFileBytes) return failed("larger than 1 MB, not read");
  text.resize(length);
  return ParseRules(text, source, out, error, all_errors) ? ReadResult::kRead
                                                          : ReadResult::kFailed;
}

}  // namespace autoprofile
