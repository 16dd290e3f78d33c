// The simulated desktop behind the program seam.
#include "sim/desktop.h"

#include <utility>

#include "platform/text.h"

namespace sim {

SimDesktop::SimDesktop(std::string programs_folder) : programs_folder_(std::move(programs_folder)) {}

std::string SimDesktop::DefaultTitle(const std::string& program) {
  const size_t slash = program.find_last_of("/\\");
  std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::u16string SimDesktop::PathOf(const std::string& program) const {
  return platform::FromUtf8(program.find('/') != std::string::npos
                                ? program
                                : programs_folder_ + "/" + program);
}

platform::ProgramInfo* SimDesktop::Find(const std::u16string& path) {
  for (platform::ProgramInfo& info : running_) {
    if (info.path == path) return &info;
  }
  return nullptr;
}

bool SimDesktop::Start(const std::string& program) {
  std::lock_guard<std::mutex> hold(mutex_);
  const std::u16string path = PathOf(program);
  if (Find(path) != nullptr) return false;
  platform::ProgramInfo info;
  info.pid = next_pid_++;
  info.path = path;
  running_.push_back(info);
  return true;
}

platform::ProgramInfo SimDesktop::Foreground(const std::string& program, const std::string& title) {
  Start(program);
  std::lock_guard<std::mutex> hold(mutex_);
  platform::ProgramInfo* info = Find(PathOf(program));
  info->title = platform::FromUtf8(title);
  front_ = *info;
  return front_;
}

bool SimDesktop::Exit(const std::string& program, bool* was_front) {
  std::lock_guard<std::mutex> hold(mutex_);
  const std::u16string path = PathOf(program);
  platform::ProgramInfo* info = Find(path);
  if (info == nullptr) return false;
  *was_front = front_.pid == info->pid;
  if (*was_front) front_ = platform::ProgramInfo();
  running_.erase(running_.begin() + (info - running_.data()));
  return true;
}

bool SimDesktop::Retitle(const std::string& title, platform::ProgramInfo* front) {
  std::lock_guard<std::mutex> hold(mutex_);
  platform::ProgramInfo* info = front_.pid != 0 ? Find(front_.path) : nullptr;
  if (info == nullptr) return false;
  info->title = platform::FromUtf8(title);
  front_ = *info;
  *front = front_;
  return true;
}

void SimDesktop::ShowDesktop() {
  std::lock_guard<std::mutex> hold(mutex_);
  front_ = platform::ProgramInfo();
}

platform::ProgramInfo SimDesktop::Front() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return front_;
}

bool SimDesktop::Running(void* desktop, std::vector<platform::ProgramInfo>* out) {
  auto* self = static_cast<SimDesktop*>(desktop);
  std::lock_guard<std::mutex> hold(self->mutex_);
  *out = self->running_;
  for (platform::ProgramInfo& info : *out) info.title.clear();
  return true;
}

}  // namespace sim
