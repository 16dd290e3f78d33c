// Which rule is in force per controller, and when a change of it is due.
#include "autoprofile/decision.h"

#include <algorithm>
#include <utility>

#include "autoprofile/glob.h"
#include "platform/text.h"

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
    const auto separator = [](char16_t unit) { return unit == u'/' || unit == u'\\'; };
    // The root stays as it is: one separator, or a leading pair (a network path), and a drive.
    std::u16string out;
    size_t at = 0;
    for (; at < path.size() && at < 2 && separator(path[at]); ++at) out += u'/';
    if (at == 0 && path.size() >= 2 && path[1] == u':') {
      out = path.substr(0, 2);
      at = 2;
    }
    const size_t root = out.size();
    std::vector<std::u16string_view> segments;
    while (at < path.size()) {
      size_t end = at;
      while (end < path.size() && !separator(path[end])) ++end;
      const std::u16string_view segment = path.substr(at, end - at);
      at = end + 1;
      if (segment.empty() || segment == u".") continue;
      if (segment == u".." && !segments.empty() && segments.back() != u"..") {
        segments.pop_back();
      } else if (segment != u".." || root == 0) {
        segments.push_back(segment);  // ".." above the root of an absolute path is the root
      }
    }
    for (size_t i = 0; i < segments.size(); ++i) {
      if (i > 0 || (root > 0 && !separator(out.back()))) out += u'/';
      out += segments[i];
    }
    if (kPathsIgnoreCase) {
      for (char16_t& unit : out) unit = platform::UpperCaseUnit(unit);
    }
    return out;
  };
  return normal(a) == normal(b);
}

bool RuleMatches(const Rule& rule, const platform::ProgramInfo& program) {
  // The desktop matches nothing; a window whose program is unknown has its title only.
  if (program.kind() == platform::ProgramInfo::Kind::kDesktop) return false;
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
    choice.program = platform::ProgramNameOf(front_);
    if (rules_.when_unmatched == Unmatched::kDefault) {
      choice.kind = Choice::Kind::kLoad;
      choice.profile = ProfileFullPath(controller.root, rules_.default_profile, separator_);
    } else if (rules_.when_unmatched == Unmatched::kClear) {
      choice.kind = Choice::Kind::kClear;
    }
    return choice;
  }
  const Rule& rule = rules_.rules[index];
  choice.number = rule.number;
  if (rule.clear) {
    choice.kind = Choice::Kind::kClear;
  } else {
    choice.kind = Choice::Kind::kLoad;
    choice.profile = ProfileFullPath(controller.root, rule.profile, separator_);
  }
  const platform::ProgramInfo* matched =
      rule.trigger == Trigger::kFocus ? &front_ : MatchedRunning(rule, running_);
  choice.program = platform::ProgramNameOf(*matched);
  if (choice.program.empty()) choice.program = matched->title;
  return choice;
}

void Decider::Changed(Controller& controller, uint64_t now, bool at_once) {
  controller.since = now;
  controller.at_once = at_once;
  controller.change = ++order_;
}

void Decider::Evaluate(Controller& controller, uint64_t now, bool at_once, bool retry) {
  Choice choice = ChoiceFor(controller);
  if (!(choice == controller.candidate)) {
    controller.candidate = std::move(choice);
    Changed(controller, now, at_once);
    return;
  }
  // The same outcome may come from another rule or program; the log names the latest.
  controller.candidate = std::move(choice);
  if (retry && controller.failed && controller.acted == controller.candidate) {
    controller.acted.reset();
    controller.failed = false;
    Changed(controller, now, at_once);
  } else if (at_once) {
    controller.at_once = true;
  }
}

void Decider::EvaluateAll(uint64_t now, bool at_once, bool retry) {
  for (Controller& controller : controllers_) Evaluate(controller, now, at_once, retry);
}

void Decider::SetRules(Rules rules, uint64_t now) {
  rules_ = std::move(rules);
  EvaluateAll(now, true, true);
}

void Decider::SetFront(const platform::ProgramInfo& front, uint64_t now) {
  front_ = front;
  EvaluateAll(now, false, true);
}

void Decider::SetRunning(std::vector<platform::ProgramInfo> running, uint64_t now) {
  running_ = std::move(running);
  EvaluateAll(now, false, false);
}

void Decider::Attach(const std::u16string& path, const platform::Guid& device_type,
                     const std::u16string& root, uint64_t now, bool ready) {
  Detach(path);
  Controller controller;
  controller.path = path;
  controller.device_type = device_type;
  controller.root = root;
  controller.candidate = ChoiceFor(controller);
  controller.ready = ready;
  Changed(controller, now, true);
  controllers_.push_back(std::move(controller));
}

void Decider::Ready(const std::u16string& path, uint64_t now) {
  Controller* controller = Find(path);
  if (controller == nullptr || controller->ready) return;
  controller->ready = true;
  // The outcome is that of now; it keeps its place in order from the attach, so that a choice
  // made with the clutch meanwhile stays.
  controller->candidate = ChoiceFor(*controller);
  controller->since = now;
  controller->at_once = true;
}

void Decider::Detach(const std::u16string& path) {
  std::erase_if(controllers_, [&](const Controller& c) { return c.path == path; });
}

void Decider::SetEngaged(const std::u16string& path, bool engaged) {
  if (Controller* controller = Find(path)) controller->engaged = engaged;
}

void Decider::ManualChoice(const std::u16string& path) {
  Controller* controller = Find(path);
  if (controller == nullptr) return;
  controller->manual = ++order_;
  controller->failed = false;
}

void Decider::Failed(const Action& action) {
  Controller* controller = Find(action.controller);
  if (controller == nullptr || !controller->acted.has_value()) return;
  Choice sent;
  sent.kind = action.kind == Action::Kind::kClear ? Choice::Kind::kClear : Choice::Kind::kLoad;
  sent.profile = action.profile;
  // An outcome taken meanwhile is acted on anyway.
  if (*controller->acted == sent) controller->failed = true;
}

Decider::Controller* Decider::Find(const std::u16string& path) {
  for (Controller& controller : controllers_) {
    if (controller.path == path) return &controller;
  }
  return nullptr;
}

bool Decider::Due(const Controller& controller, uint64_t now) const {
  if (controller.engaged || !controller.ready) return false;
  if (controller.acted.has_value() && *controller.acted == controller.candidate) return false;
  return controller.at_once || now - controller.since >= rules_.delay_ms;
}

std::vector<Action> Decider::TakeDue(uint64_t now, const std::u16string* only_path) {
  std::vector<Action> actions;
  for (Controller& controller : controllers_) {
    if (only_path != nullptr && controller.path != *only_path) continue;
    if (!Due(controller, now)) continue;
    const Choice& choice = controller.candidate;
    if (choice.kind != Choice::Kind::kKeep) {
      Action action;
      action.kind = choice.kind == Choice::Kind::kClear ? Action::Kind::kClear : Action::Kind::kLoad;
      action.controller = controller.path;
      action.profile = choice.profile;
      action.rule = choice.number;
      action.program = choice.program;
      // A change that came before the user's own choice on the controller gives way to it.
      action.overridden = controller.change < controller.manual;
      actions.push_back(std::move(action));
    }
    controller.acted = controller.candidate;
    controller.at_once = false;
    controller.failed = false;
  }
  return actions;
}

std::vector<std::u16string> Decider::DueControllers(uint64_t now) const {
  std::vector<std::u16string> paths;
  for (const Controller& controller : controllers_) {
    if (Due(controller, now)) paths.push_back(controller.path);
  }
  return paths;
}

uint64_t Decider::NextDeadline() const {
  uint64_t next = kNoDeadline;
  for (const Controller& controller : controllers_) {
    if (controller.engaged || !controller.ready) continue;
    if (controller.acted.has_value() && *controller.acted == controller.candidate) continue;
    next = std::min(next, controller.at_once ? controller.since : controller.since + rules_.delay_ms);
  }
  return next;
}

std::vector<uint32_t> Decider::MatchedRunningPids() const {
  std::vector<uint32_t> pids;
  for (const Controller& controller : controllers_) {
    const int number = controller.candidate.number;
    if (number <= 0 || static_cast<size_t>(number) > rules_.rules.size()) continue;
    const Rule& rule = rules_.rules[number - 1];
    if (rule.trigger != Trigger::kRunning) continue;
    for (const platform::ProgramInfo& program : running_) {
      if (RuleMatches(rule, program)) pids.push_back(program.pid);
    }
  }
  return pids;
}

}  // namespace autoprofile
