// skyhelm-doc rules: checks an automatic-profile rules file with the service's own reader and
// that the profiles it names exist, prints the rules as understood and, for a program, the rule
// in force and what would be sent.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "autoprofile/decision.h"
#include "autoprofile/rules.h"
#include "clutch/clutch.h"
#include "commands.h"
#include "platform/files.h"
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

// The profile folders the service looks in: root when given, else every folder registered for
// a member GUID and the folder of controllers without one; those that exist, or all of them when
// none does.
std::vector<std::u16string> ProfileRoots(const char* root) {
  if (root != nullptr) return {platform::FromUtf8(root)};
  std::vector<std::u16string> all = CClutch::RegisteredRootFolders(), existing;
  all.push_back(CClutch::DefaultRootFolder());
  for (const std::u16string& folder : all) {
    const uint32_t attributes = platform::FileAttributes(folder);
    if (attributes != platform::kInvalidAttributes &&
        (attributes & platform::kAttributeDirectory) != 0) {
      existing.push_back(folder);
    }
  }
  return existing.empty() ? all : existing;
}

// Says, for what (a rule or the default profile), each profile folder where profile is not a
// file; true when it is in every one.
bool ProfileExists(const std::string& what, const std::u16string& profile,
                   const std::vector<std::u16string>& roots) {
  bool found = true;
  for (const std::u16string& root : roots) {
    const std::u16string full = autoprofile::ProfileFullPath(root, profile, platform::kPathSeparator);
    const uint32_t attributes = platform::FileAttributes(full);
    if (attributes == platform::kInvalidAttributes ||
        (attributes & platform::kAttributeDirectory) != 0) {
      std::fprintf(stderr, "%s: profile %s does not exist: %s\n", what.c_str(),
                   Utf8(profile).c_str(), Utf8(full).c_str());
      found = false;
    }
  }
  return found;
}

bool ProfilesExist(const autoprofile::Rules& rules, const std::vector<std::u16string>& roots) {
  bool found = true;
  if (rules.when_unmatched == autoprofile::Unmatched::kDefault) {
    found = ProfileExists("default_profile", rules.default_profile, roots);
  }
  for (const autoprofile::Rule& rule : rules.rules) {
    if (!rule.clear) found = ProfileExists("rule " + std::to_string(rule.number), rule.profile, roots) && found;
  }
  return found;
}

}  // namespace

int RunRules(int argc, char** argv) {
  static const char kUsage[] =
      "usage: skyhelm-doc rules FILE [--root FOLDER] [--program PATH] [--title TEXT] "
      "[--controller GUID]";
  const char* file = nullptr;
  const char* root = nullptr;
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
    } else if (std::strcmp(argv[i], "--root") == 0 && has_value) {
      root = argv[++i];
    } else if (file == nullptr && argv[i][0] != '-') {
      file = argv[i];
    } else {
      return UsageError(kUsage);
    }
  }
  if (file == nullptr) {
    return UsageError(kUsage);
  }
  // A program given by title alone has no path: rules on names and paths cannot match it.
  program.path_unknown = program.path.empty();
  autoprofile::Rules rules;
  std::string error;
  std::vector<std::string> errors;
  switch (autoprofile::ReadRulesFile(platform::FromUtf8(file), &rules, &error, &errors)) {
    case autoprofile::ReadResult::kMissing:
      return UsageError(std::string("cannot read ") + file);
    case autoprofile::ReadResult::kFailed:
      for (const std::string& one : errors) std::fprintf(stderr, "%s\n", one.c_str());
      return kExitReaderFailed;
    case autoprofile::ReadResult::kRead:
      break;
  }
  PrintRules(rules);
  const std::vector<std::u16string> roots = ProfileRoots(root);
  for (const std::u16string& folder : roots) std::printf("profile folder: %s\n", Utf8(folder).c_str());
  if (asked) PrintDecision(rules, program, controller);
  std::fflush(stdout);
  return ProfilesExist(rules, roots) ? kExitRead : kExitReaderFailed;
}

}  // namespace skyhelm_doc
