// The rules file's location on Linux, and the watch of a file through inotify on its folder.
#include "platform/file_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include "platform/posix/device_watch.h"
#include "platform/text.h"

namespace platform {

struct FileWatch::State {
  int inotify_fd = -1;
  int stop_fd = -1;
  std::string name;  // the file's name in its folder
  std::thread thread;

  ~State() {
    if (inotify_fd >= 0) close(inotify_fd);
    if (stop_fd >= 0) close(stop_fd);
  }
};

std::u16string RulesFilePath() {
  if (const char* named = std::getenv("SKYHELM_RULES"); named != nullptr && *named != '\0') {
    return FromUtf8(named);
  }
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
    return FromUtf8(std::string(config) + "/skyhelm/rules.toml");
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return FromUtf8(std::string(home) + "/.config/skyhelm/rules.toml");
  }
  return std::u16string();
}

FileWatch::FileWatch(std::u16string path, FileChangeSink sink, void* context)
    : path_(std::move(path)), sink_(sink), context_(context) {}

FileWatch::~FileWatch() { Stop(); }

bool FileWatch::Start() {
  if (state_ != nullptr) return false;
  const std::string path = ToUtf8(path_);
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  auto state = std::make_unique<State>();
  state->name = path.substr(slash + 1);
  state->inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  state->stop_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  // Written and closed, renamed over, deleted or renamed away. A file is only read once it has
  // been closed after writing, so a half-written file is never taken for the rules.
  constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                               IN_DELETE_SELF | IN_MOVE_SELF;
  if (state->inotify_fd < 0 || state->stop_fd < 0 || !MakeFolders(folder) ||
      inotify_add_watch(state->inotify_fd, folder.c_str(), kEvents) < 0) {
    return false;
  }
  State* watched = state.get();
  state->thread = std::thread([this, watched] {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      pollfd waits[2] = {{watched->stop_fd, POLLIN, 0}, {watched->inotify_fd, POLLIN, 0}};
      if (poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (waits[0].revents != 0) return;
      bool ours = false;
      ssize_t length;
      while ((length = read(watched->inotify_fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < length;) {
          const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
          // Events of the folder itself carry no name; they end the file too.
          if (event->len == 0 || watched->name == event->name) ours = true;
          at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
      }
      if (ours) sink_(context_);
    }
  });
  state_ = std::move(state);
  return true;
}

void FileWatch::Stop() {
  if (state_ == nullptr) return;
  const uint64_t one = 1;
  if (write(state_->stop_fd, &one, sizeof one) < 0) {
    // An eventfd write fails only on overflow, which a single write cannot reach.
  }
  if (state_->thread.joinable()) state_->thread.join();
  state_.reset();
}

}  // namespace platform
