// skyhelm-doc rules: checks an automatic-profile rules file with the service's own reader,
// prints the rules as understood and, for a program, the rule in force and what would be sent.
#include <cstdio>
#include <cstring>
#include <string>

#include "autoprofile/decision.h"
#include "autoprofile/rules.h"
#include "commands.h"
#include "platform/folders.h"
#include "platform/text.h"

namespace skyhelm_doc {
namespace {

std::string Utf8(const std::u16string& text) { return platform::ToUtf8(text); }

void PrintRule(const autoprofile::Rule& rule) {
  std::string line = "rule " + std::to_string(rule.number) + ": " +
                     (rule.trigger == autoprofile::Trigger::kRunning ? "running" : "focus");
  if (!rule.program.empty()) line += ", program \"" + Utf8(rule.program) + "\"";
  if (!rule.path.empty()) line += ", path \"" + Utf8(rule.path) + "\"";
  if (!rule.title.empty()) line += ", title \"" + Utf8(rule.title) + "\"";
  line += rule.has_controller ? "; controller " + Utf8(platform::FormatGuid(rule.controller))
                              : "; every controller";
  line += rule.clear ? "; clear" : "; load " + Utf8(rule.profile);
  std::printf("%s\n", line.c_str());
}

void PrintRules(const autoprofile::Rules& rules) {
  static const char* const kUnmatched[] = {"keep", "default", "clear"};
  std::printf("when_unmatched = %s\n", kUnmatched[static_cast<int>(rules.when_unmatched)]);
  if (!rules.default_profile.empty()) {
    std::printf("default_profile = %s\n", Utf8(rules.default_profile).c_str());
  }
  std::printf("delay_ms = %u\n", rules.delay_ms);
  for (const autoprofile::Rule& rule : rules.rules) PrintRule(rule);
}

// The rule in force for program (taken as in front and running) and what would be sent.
void PrintDecision(const autoprofile::Rules& rules, const platform::ProgramInfo& program,
                   const platform::Guid& controller) {
  const int index = autoprofile::RuleInForce(rules, controller, program, {program});
  const std::u16string root = u"<profile folder>";
  std::u16string profile;
  bool clear = false;
  if (index >= 0) {
    std::printf("in force: rule %d\n", rules.rules[index].number);
    clear = rules.rules[index].clear;
    profile = rules.rules[index].profile;
  } else {
    std::printf("in force: none (unmatched)\n");
    clear = rules.when_unmatched == autoprofile::Unmatched::kClear;
    if (rules.when_unmatched == autoprofile::Unmatched::kDefault) profile = rules.default_profile;
  }
  if (clear) {
    std::printf("would send: IOCTL_PROFILE_CLEAR\n");
  } else if (profile.empty()) {
    std::printf("would send: nothing (keep)\n");
  } else {
    const std::u16string full = autoprofile::ProfileFullPath(root, profile, platform::kPathSeparator);
    std::printf("would send: IOCTL_PROFILE_LOAD %s, then IOCTL_PROFILE_ACTIVATE with its id "
                "(nothing when it is already active)\n",
                Utf8(full).c_str());
  }
}

}  // namespace

int RunRules(int argc, char** argv) {
  const char* file = nullptr;
  platform::ProgramInfo program;
  platform::Guid controller;
  bool asked = false;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--program") == 0 && has_value) {
      program.path = platform::FromUtf8(argv[++i]);
      program.pid = 1;
      asked = true;
    } else if (std::strcmp(argv[i], "--title") == 0 && has_value) {
      program.title = platform::FromUtf8(argv[++i]);
      program.pid = 1;
      asked = true;
    } else if (std::strcmp(argv[i], "--controller") == 0 && has_value) {
      if (!platform::ParseGuid(platform::FromUtf8(argv[++i]), &controller)) {
        return UsageError(std::string("not a GUID: ") + argv[i]);
      }
    } else if (file == nullptr && argv[i][0] != '-') {
      file = argv[i];
    } else {
      return UsageError("usage: skyhelm-doc rules FILE [--program PATH] [--title TEXT] [--controller GUID]");
    }
  }
  if (file == nullptr) {
    return UsageError("usage: skyhelm-doc rules FILE [--program PATH] [--title TEXT] [--controller GUID]");
  }
  // A program given by title alone has no path: rules on names and paths cannot match it.
  program.path_unknown = program.path.empty();
  autoprofile::Rules rules;
  std::string error;
  switch (autoprofile::ReadRulesFile(platform::FromUtf8(file), &rules, &error)) {
    case autoprofile::ReadResult::kMissing:
      return UsageError(std::string("cannot read ") + file);
    case autoprofile::ReadResult::kFailed:
      std::fprintf(stderr, "Auto Profile: %s; the rules in force stay\n", error.c_str());
      return kExitReaderFailed;
    case autoprofile::ReadResult::kRead:
      break;
  }
  PrintRules(rules);
  if (asked) PrintDecision(rules, program, controller);
  return kExitRead;
}

}  // namespace skyhelm_doc
