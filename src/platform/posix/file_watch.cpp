// The rules file's location on Linux, and the watch of a file through inotify on its folder, the
// folder's parent and the folders of a link's targets.
#include "platform/file_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/device_watch.h"
#include "platform/text.h"

namespace platform {

// What is watched: each folder (by its watch descriptor) with the names in it that matter. Those
// are the file itself, the file's folder in its parent (a folder deleted and made again is
// watched again), and each target along a chain of symbolic links (a change of the file a link
// points to is a change of the file).
struct FileWatch::State {
  int inotify_fd = -1;
  int stop_fd = -1;
  std::string path;
  struct Folder {
    std::string path;
    std::vector<std::string> names;
  };
  std::map<int, Folder> watched;  // by watch descriptor
  std::thread thread;

  ~State() {
    if (inotify_fd >= 0) close(inotify_fd);
    if (stop_fd >= 0) close(stop_fd);
  }

  // Written and closed, renamed over, deleted or renamed away, created (a link or a folder),
  // and the watched folder's own end. A file is only read once it has been closed after
  // writing, so a half-written file is never taken for the rules.
  static constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                      IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF;

  // Watches what the path leads through now and drops what it no longer does; false when the
  // file's own folder cannot be watched.
  bool Arm() {
    std::vector<std::pair<std::string, std::string>> wanted;  // folder, name
    const auto add = [&wanted](const std::string& file) {
      const auto [folder, name] = Split(file);
      wanted.emplace_back(folder, name);
      wanted.emplace_back(Split(folder));
    };
    add(path);
    std::string at = path;
    for (int hops = 0; hops < 16; ++hops) {
      struct stat info {};
      char target[4096];
      if (lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
      const ssize_t length = readlink(at.c_str(), target, sizeof target - 1);
      if (length <= 0) break;
      std::string next(target, static_cast<size_t>(length));
      if (next[0] != '/') next = Split(at).first + "/" + next;
      add(next);
      at = next;
    }
    std::map<int, Folder> now;
    bool own_folder = false;
    for (size_t index = 0; index < wanted.size(); ++index) {
      const int descriptor = inotify_add_watch(inotify_fd, wanted[index].first.c_str(), kEvents);
      if (descriptor < 0) continue;
      own_folder = own_folder || index == 0;
      Folder& folder = now[descriptor];
      folder.path = wanted[index].first;
      folder.names.push_back(wanted[index].second);
    }
    for (const auto& [descriptor, folder] : watched) {
      if (now.count(descriptor) == 0) inotify_rm_watch(inotify_fd, descriptor);
    }
    watched = std::move(now);
    return own_folder;
  }

  // Whether event concerns the file; a regular file that is only created is not written yet
  // (its closing after writing follows).
  bool Concerns(const inotify_event& event) const {
    const auto found = watched.find(event.wd);
    if (found == watched.end()) return false;
    if (event.len == 0) return true;  // the folder itself went
    for (const std::string& name : found->second.names) {
      if (name != event.name) continue;
      if ((event.mask & (IN_CREATE | IN_ISDIR)) != IN_CREATE) return true;
      // A link (symbolic or another name of a file) is made whole at once; a new file is
      // reported once closed after writing.
      struct stat info {};
      const std::string created = found->second.path + "/" + name;
      return lstat(created.c_str(), &info) == 0 && (S_ISLNK(info.st_mode) || info.st_nlink > 1);
    }
    return false;
  }

  static std::pair<std::string, std::string> Split(const std::string& file) {
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos) return {".", file};
    return {slash == 0 ? "/" : file.substr(0, slash), file.substr(slash + 1)};
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

bool FileHeldByAnother(const std::u16string& /*path*/) { return false; }

FileWatch::FileWatch(std::u16string path, FileChangeSink sink, void* context)
    : path_(std::move(path)), sink_(sink), context_(context) {}

FileWatch::~FileWatch() { Stop(); }

bool FileWatch::Start() {
  if (state_ != nullptr) return false;
  auto state = std::make_unique<State>();
  state->path = ToUtf8(path_);
  if (state->path.find('/') == std::string::npos) return false;
  state->inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  state->stop_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (state->inotify_fd < 0 || state->stop_fd < 0 || !MakeFolders(State::Split(state->path).first) ||
      !state->Arm()) {
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
          // An overflowed queue may have hidden anything.
          if ((event->mask & IN_Q_OVERFLOW) != 0 || watched->Concerns(*event)) ours = true;
          at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
      }
      if (!ours) continue;
      // What changed may be the way to the file (a folder made again, a link pointed
      // elsewhere): watched again before the receiver reads, so that nothing after it is missed.
      watched->Arm();
      sink_(context_);
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
