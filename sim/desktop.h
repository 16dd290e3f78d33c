// The simulated desktop: programs that run and the one whose window is in front, standing in for
// the OS behind the program seam in scenarios and in the terminal simulator.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/programs.h"

namespace sim {

class SimDesktop {
 public:
  // Program names without a folder run from programs_folder (a name holding a '/' is a path).
  explicit SimDesktop(std::string programs_folder);

  // Starts program when it is not running; true when it was started now.
  bool Start(const std::string& program);
  // Starts program if needed and brings its window with title to the front; what is in front.
  platform::ProgramInfo Foreground(const std::string& program, const std::string& title);
  // Ends program: its window goes. False when it is not running; *was_front tells whether it
  // was in front (the desktop then is).
  bool Exit(const std::string& program, bool* was_front);
  // The window in front changes its title (its program stays the same); what is in front. False
  // when the desktop is in front: it has no title to change.
  bool Retitle(const std::string& title, platform::ProgramInfo* front);
  // Brings the desktop (no program) to the front.
  void ShowDesktop();
  platform::ProgramInfo Front() const;
  // The running programs, as the OS scan would list them (a ProgramSource function).
  static bool Running(void* desktop, std::vector<platform::ProgramInfo>* out);

  // The default window title of program: its file name without the extension.
  static std::string DefaultTitle(const std::string& program);

 private:
  std::u16string PathOf(const std::string& program) const;
  // The running entry of path, or null (mutex_ held).
  platform::ProgramInfo* Find(const std::u16string& path);

  std::string programs_folder_;
  mutable std::mutex mutex_;
  std::vector<platform::ProgramInfo> running_;  // guarded by mutex_
  platform::ProgramInfo front_;                 // guarded by mutex_
  uint32_t next_pid_ = 4000;                    // guarded by mutex_
};

}  // namespace sim
