// Which rule is in force per controller, and when a change of it is due.
#include "autoprofile/decision.h"

#include <algorithm>
#include <utility>

#include "autoprofile/glob.h"

namespace autoprofile {
namespace {

#ifdef _WIN32
constexpr bool kPathsIgnoreCase = true;
#else
constexpr bool kPathsIgnoreCase = false;
#endif

bool EitherMatches(const std::u16string& glob, const platform::ProgramInfo& program,
                   bool whole_path) {
  for (const std::u16string* path : {&program.path, &program.windows_path}) {
    if (path->empty()) continue;
    if (whole_path ? GlobMatch(glob, *path, true) : GlobMatch(glob, platform::FileNameOf(*path))) {
      return true;
    }
  }
  return false;
}

bool Applies(const Rule& rule, const platform::Guid& device_type) {
  return !rule.has_controller || rule.controller == device_type;
}

// A running program that rule matches, or null.
const platform::ProgramInfo* MatchedRunning(const Rule& rule,
                                            const std::vector<platform::ProgramInfo>& running) {
  for (const platform::ProgramInfo& program : running) {
    if (RuleMatches(rule, program)) return &program;
  }
  return nullptr;
}

bool IsAbsolute(const std::u16string& path) {
  if (!path.empty() && (path[0] == u'/' || path[0] == u'\\')) return true;
  return path.size() >= 2 && path[1] == u':' &&
         ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
}

}  // namespace

bool SameProfilePath(std::u16string_view a, std::u16string_view b) {
  const auto normal = [](std::u16string_view path) {
    std::u16string out;
    for (char16_t unit : path) {
      if (unit == u'\\') unit = u'/';
      // A leading pair stays: it begins a network path.
      if (unit == u'/' && out.size() > 1 && out.back() == u'/') continue;
      out += kPathsIgnoreCase ? FoldCase(unit) : unit;
    }
    return out;
  };
  return normal(a) == normal(b);
}

bool RuleMatches(const Rule& rule, const platform::ProgramInfo& program) {
  if (program.pid == 0 && program.path.empty()) return false;  // the desktop
  if (!rule.program.empty() && !EitherMatches(rule.program, program, false)) return false;
  if (!rule.path.empty() && !EitherMatches(rule.path, program, true)) return false;
  if (!rule.title.empty() && !GlobMatch(rule.title, program.title)) return false;
  return true;
}

int RuleInForce(const Rules& rules, const platform::Guid& device_type,
                const platform::ProgramInfo& front,
                const std::vector<platform::ProgramInfo>& running) {
  for (size_t i = 0; i < rules.rules.size(); ++i) {
    const Rule& rule = rules.rules[i];
    if (!Applies(rule, device_type)) continue;
    const bool matches = rule.trigger == Trigger::kFocus ? RuleMatches(rule, front)
                                                         : MatchedRunning(rule, running) != nullptr;
    if (matches) return static_cast<int>(i);
  }
  return -1;
}

std::u16string ProfileFullPath(const std::u16string& root, const std::u16string& profile,
                               char16_t separator) {
  if (IsAbsolute(profile)) return profile;
  std::u16string path = root;
  path += separator;
  for (char16_t unit : profile) path += (unit == u'/' || unit == u'\\') ? separator : unit;
  return path;
}

Decider::Choice Decider::ChoiceFor(const Controller& controller) const {
  Choice choice;
  const int index = RuleInForce(rules_, controller.device_type, front_, running_);
  if (index < 0) {
    choice.program = platform::FileNameOf(front_.path);
    return choice;
  }
  choice.rule = rules_.rules[index];
  choice.number = choice.rule.number;
  choice.rule.number = 0;
  const platform::ProgramInfo* matched = choice.rule.trigger == Trigger::kFocus
                                             ? &front_
                                             : MatchedRunning(choice.rule, running_);
  choice.program = platform::FileNameOf(matched->path.empty() ? matched->title : matched->path);
  return choice;
}

void Decider::Evaluate(Controller& controller, uint64_t now, bool at_once) {
  Choice choice = ChoiceFor(controller);
  if (!(choice == controller.candidate)) {
    controller.candidate = std::move(choice);
    controller.since = now;
    controller.at_once = at_once;
  } else {
    // The program name may differ for the same rule; the log names the latest.
    controller.candidate.program = choice.program;
    controller.candidate.number = choice.number;
    if (at_once) controller.at_once = true;
  }
}

void Decider::EvaluateAll(uint64_t now, bool at_once) {
  for (Controller& controller : controllers_) Evaluate(controller, now, at_once);
}

void Decider::SetRules(Rules rules, uint64_t now) {
  rules_ = std::move(rules);
  EvaluateAll(now, true);
}

void Decider::SetFront(const platform::ProgramInfo& front, uint64_t now) {
  front_ = front;
  EvaluateAll(now, false);
}

void Decider::SetRunning(std::vector<platform::ProgramInfo> running, uint64_t now) {
  running_ = std::move(running);
  EvaluateAll(now, false);
}

void Decider::Attach(const std::u16string& path, const platform::Guid& device_type,
                     const std::u16string& root, uint64_t now) {
  Detach(path);
  Controller controller;
  controller.path = path;
  controller.device_type = device_type;
  controller.root = root;
  controller.candidate = ChoiceFor(controller);
  controller.since = now;
  controller.at_once = true;
  controllers_.push_back(std::move(controller));
}

void Decider::Detach(const std::u16string& path) {
  std::erase_if(controllers_, [&](const Controller& c) { return c.path == path; });
}

void Decider::SetEngaged(const std::u16string& path, bool engaged) {
  if (Controller* controller = Find(path)) controller->engaged = engaged;
}

Decider::Controller* Decider::Find(const std::u16string& path) {
  for (Controller& controller : controllers_) {
    if (controller.path == path) return &controller;
  }
  return nullptr;
}

bool Decider::Due(const Controller& controller, uint64_t now) const {
  if (controller.engaged) return false;
  if (controller.acted.has_value() && *controller.acted == controller.candidate) return false;
  return controller.at_once || now - controller.since >= rules_.delay_ms;
}

std::optional<Action> Decider::ActionFor(const Controller& controller) const {
  const Choice& choice = controller.candidate;
  Action action;
  action.controller = controller.path;
  action.rule = choice.number;
  action.program = choice.program;
  if (choice.number != 0 && choice.rule.clear) {
    action.kind = Action::Kind::kClear;
  } else if (choice.number != 0) {
    action.profile = ProfileFullPath(controller.root, choice.rule.profile, separator_);
  } else if (rules_.when_unmatched == Unmatched::kDefault) {
    action.profile = ProfileFullPath(controller.root, rules_.default_profile, separator_);
  } else if (rules_.when_unmatched == Unmatched::kClear) {
    action.kind = Action::Kind::kClear;
  } else {
    return std::nullopt;  // keep
  }
  return action;
}

std::vector<Action> Decider::TakeDue(uint64_t now, const std::u16string* only_path) {
  std::vector<Action> actions;
  for (Controller& controller : controllers_) {
    if (only_path != nullptr && controller.path != *only_path) continue;
    if (!Due(controller, now)) continue;
    if (std::optional<Action> action = ActionFor(controller)) actions.push_back(std::move(*action));
    controller.acted = controller.candidate;
    controller.at_once = false;
  }
  return actions;
}

uint64_t Decider::NextDeadline() const {
  uint64_t next = kNoDeadline;
  for (const Controller& controller : controllers_) {
    if (controller.engaged) continue;
    if (controller.acted.has_value() && *controller.acted == controller.candidate) continue;
    next = std::min(next, controller.at_once ? controller.since : controller.since + rules_.delay_ms);
  }
  return next;
}

std::vector<uint32_t> Decider::MatchedRunningPids() const {
  std::vector<uint32_t> pids;
  for (const Controller& controller : controllers_) {
    const Choice& choice = controller.candidate;
    if (choice.number == 0 || choice.rule.trigger != Trigger::kRunning) continue;
    for (const platform::ProgramInfo& program : running_) {
      if (RuleMatches(choice.rule, program)) pids.push_back(program.pid);
    }
  }
  return pids;
}

}  // namespace autoprofile
