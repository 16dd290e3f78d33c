// The decision of automatic profiles: which rule is in force for each controller, and when that
// calls for an action. A function of the rules, the program in front, the running programs, the
// controllers and the clock given with each call; it makes no OS call and sends nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "autoprofile/rules.h"
#include "platform/guid.h"
#include "platform/programs.h"

namespace autoprofile {

inline constexpr uint64_t kNoDeadline = UINT64_MAX;

// What to send to one controller.
struct Action {
  enum class Kind { kLoad, kClear };
  Kind kind = Kind::kLoad;
  std::u16string controller;  // the controller's interface path
  std::u16string profile;     // kLoad: the full path of the profile
  int rule = 0;               // the rule's number; 0 when the controller is unmatched
  std::u16string program;     // the program the rule matched (for the log)
};

// The index of the rule in force for a controller of device_type, or -1 when it is unmatched.
int RuleInForce(const Rules& rules, const platform::Guid& device_type,
                const platform::ProgramInfo& front, const std::vector<platform::ProgramInfo>& running);
// Whether rule matches program (title rules need the title; program and path rules a path).
bool RuleMatches(const Rule& rule, const platform::ProgramInfo& program);

// The full path of a profile named in the rules: absolute as written, or relative to root (the
// controller's profile root folder) joined with separator, as the clutch joins its paths.
std::u16string ProfileFullPath(const std::u16string& root, const std::u16string& profile,
                               char16_t separator);

// Whether two profile paths name the same file: separators made uniform, doubled ones collapsed,
// and on Windows without regard to case.
bool SameProfilePath(std::u16string_view a, std::u16string_view b);

class Decider {
 public:
  explicit Decider(char16_t separator) : separator_(separator) {}

  // New rules: every controller whose rule in force differs is due at once.
  void SetRules(Rules rules, uint64_t now);
  void SetFront(const platform::ProgramInfo& front, uint64_t now);
  void SetRunning(std::vector<platform::ProgramInfo> running, uint64_t now);
  // A controller was attached: it is due at once for its rule in force (or unmatched).
  void Attach(const std::u16string& path, const platform::Guid& device_type,
              const std::u16string& root, uint64_t now);
  void Detach(const std::u16string& path);
  // While engaged, nothing becomes due for the controller; what falls due waits for release.
  void SetEngaged(const std::u16string& path, bool engaged);

  // The actions due at now (for the one controller only_path when given), each taken once.
  std::vector<Action> TakeDue(uint64_t now, const std::u16string* only_path = nullptr);
  // When the next delayed change falls due (kNoDeadline when none waits).
  uint64_t NextDeadline() const;

  const Rules& rules() const { return rules_; }
  const platform::ProgramInfo& front() const { return front_; }
  bool HasControllers() const { return !controllers_.empty(); }
  // The pids of running programs that a running rule in force matched.
  std::vector<uint32_t> MatchedRunningPids() const;

 private:
  // What a controller is set to: a rule (by content, so that a changed file with the same rule
  // in force is no change) or unmatched.
  struct Choice {
    int number = 0;  // the rule's number; 0 when unmatched
    Rule rule;       // its content, numbered 0
    std::u16string program;  // the program it matched (not compared)
    friend bool operator==(const Choice& a, const Choice& b) {
      return (a.number == 0) == (b.number == 0) && a.rule == b.rule;
    }
  };
  struct Controller {
    std::u16string path;
    platform::Guid device_type;
    std::u16string root;
    std::optional<Choice> acted;  // what it was last set to; none before its first action
    Choice candidate;             // the rule in force now
    uint64_t since = 0;           // when candidate became the rule in force
    bool at_once = false;         // candidate is due without the delay
    bool engaged = false;
  };

  Choice ChoiceFor(const Controller& controller) const;
  void Evaluate(Controller& controller, uint64_t now, bool at_once);
  void EvaluateAll(uint64_t now, bool at_once);
  bool Due(const Controller& controller, uint64_t now) const;
  std::optional<Action> ActionFor(const Controller& controller) const;
  Controller* Find(const std::u16string& path);

  char16_t separator_;
  Rules rules_;
  platform::ProgramInfo front_;
  std::vector<platform::ProgramInfo> running_;
  std::vector<Controller> controllers_;
};

}  // namespace autoprofile
