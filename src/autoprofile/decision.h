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
  // Nothing is to be sent: the change came before a profile the user chose with the clutch,
  // which stays (said in the log).
  bool overridden = false;
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
// "." and ".." segments resolved, and on Windows case compared as its file systems compare it
// (each unit upper-cased, all of Unicode).
bool SameProfilePath(std::u16string_view a, std::u16string_view b);

class Decider {
 public:
  explicit Decider(char16_t separator) : separator_(separator) {}

  // New rules: every controller whose outcome differs is due at once. A controller whose last
  // action failed is due again at once (a changed program in front: after the delay), even for
  // the same outcome.
  void SetRules(Rules rules, uint64_t now);
  void SetFront(const platform::ProgramInfo& front, uint64_t now);
  void SetRunning(std::vector<platform::ProgramInfo> running, uint64_t now);
  // A controller was attached: it is due at once for its outcome. When ready is false nothing is
  // due for it until Ready (its attach is not finished), but it can be engaged meanwhile.
  void Attach(const std::u16string& path, const platform::Guid& device_type,
              const std::u16string& root, uint64_t now, bool ready = true);
  // The attach is finished: the controller is due at once for its outcome as of now.
  void Ready(const std::u16string& path, uint64_t now);
  void Detach(const std::u16string& path);
  // While engaged, nothing becomes due for the controller; what falls due waits for release.
  void SetEngaged(const std::u16string& path, bool engaged);
  // The user chose a profile (or cleared it) with the clutch: the change waiting for the
  // controller, if any, came before it and gives way; a failed action is not tried again.
  void ManualChoice(const std::u16string& path);
  // The action taken for its controller could not be carried out: it is tried again at the next
  // change of rules or of the program in front.
  void Failed(const Action& action);

  // The actions due at now (for the one controller only_path when given), each taken once.
  std::vector<Action> TakeDue(uint64_t now, const std::u16string* only_path = nullptr);
  // The controllers with an action due at now, without taking it.
  std::vector<std::u16string> DueControllers(uint64_t now) const;
  // When the next delayed change falls due (kNoDeadline when none waits).
  uint64_t NextDeadline() const;

  const Rules& rules() const { return rules_; }
  const platform::ProgramInfo& front() const { return front_; }
  bool HasControllers() const { return !controllers_.empty(); }
  // The pids of running programs that a running rule in force matched.
  std::vector<uint32_t> MatchedRunningPids() const;

 private:
  // What the rules say a controller should have: its outcome (a profile, a clear, or keep what
  // it has), which alone is compared, and the rule and program that led to it (for the log).
  struct Choice {
    enum class Kind { kKeep, kLoad, kClear };
    Kind kind = Kind::kKeep;
    std::u16string profile;  // kLoad: the full path
    int number = 0;          // the rule's number; 0 when unmatched
    std::u16string program;  // the program it matched
    friend bool operator==(const Choice& a, const Choice& b) {
      return a.kind == b.kind && (a.kind != Kind::kLoad || SameProfilePath(a.profile, b.profile));
    }
  };
  struct Controller {
    std::u16string path;
    platform::Guid device_type;
    std::u16string root;
    std::optional<Choice> acted;  // what it was last set to; none before its first action
    Choice candidate;             // the outcome now
    uint64_t since = 0;           // when candidate became the outcome
    uint64_t change = 0;          // the order of that change among changes and manual choices
    uint64_t manual = 0;          // the order of the last manual choice; 0 for none
    bool at_once = false;         // candidate is due without the delay
    bool engaged = false;
    bool ready = true;
    bool failed = false;          // the action for acted could not be carried out
  };

  Choice ChoiceFor(const Controller& controller) const;
  // retry: a failed action is due again even for the same outcome.
  void Evaluate(Controller& controller, uint64_t now, bool at_once, bool retry);
  void EvaluateAll(uint64_t now, bool at_once, bool retry);
  void Changed(Controller& controller, uint64_t now, bool at_once);
  bool Due(const Controller& controller, uint64_t now) const;
  Controller* Find(const std::u16string& path);

  char16_t separator_;
  Rules rules_;
  platform::ProgramInfo front_;
  std::vector<platform::ProgramInfo> running_;
  std::vector<Controller> controllers_;
  uint64_t order_ = 0;  // counts changes and manual choices
};

}  // namespace autoprofile
