// The rules file's location and its folder watch on Windows: ReadDirectoryChangesW on the file's
// folder, its parent and a link target's folder, overlapped, on a thread that also waits for its
// stop signal.
#include "platform/file_watch.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include "platform/sync.h"
#include "platform/thread.h"

namespace platform {

namespace {

std::u16string Units(const wchar_t* text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text));
}

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::u16string Variable(const wchar_t* name) {
  wchar_t value[32768] = {};
  const DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length > 0 && length < 32768 ? Units(value) : std::u16string();
}

}  // namespace

std::u16string RulesFilePath() {
  if (std::u16string named = Variable(L"SKYHELM_RULES"); !named.empty()) return named;
  std::u16string folder = Variable(L"APPDATA");
  if (folder.empty()) {
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
      return std::u16string();
    }
    folder = Units(path);
  }
  if (folder.back() != u'\\' && folder.back() != u'/') folder += u'\\';
  return folder + u"Skyhelm\\rules.toml";
}

bool FileHeldByAnother(const std::u16string& path) {
  // Opened as the reader opens it, sharing everything: only another program's own sharing
  // mode can refuse it.
  HANDLE file = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return false;
  }
  const DWORD error = GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// What is watched: the file's folder for the file, the folder's parent for the folder (a folder
// deleted and made again is watched again) and, when the file is a symbolic link, its target's
// folder for the target. Each folder has its own overlapped read; the thread waits for all of
// them and the stop signal at once. A change is reported once the file has been quiet for
// kSettleMs, so that an editor's several writes are read once, whole.
struct FileWatch::State {
  static constexpr DWORD kSettleMs = 100;
  static constexpr int kBusyWaits = 20;  // settle periods waited for a file another program holds
  static constexpr DWORD kChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                    FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE |
                                    FILE_NOTIFY_CHANGE_CREATION;

  struct Folder {
    std::wstring path;
    std::vector<std::wstring> names;  // the names in it that matter
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    Event done{Event::Kind::kManualReset};
    alignas(DWORD) unsigned char buffer[16384];

    ~Folder() {
      if (handle == INVALID_HANDLE_VALUE) return;
      // The read must end before its buffer and OVERLAPPED go.
      DWORD bytes = 0;
      if (CancelIoEx(handle, &overlapped) || GetLastError() != ERROR_NOT_FOUND) {
        GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
      }
      CloseHandle(handle);
    }

    bool Issue() {
      overlapped = OVERLAPPED{};
      overlapped.hEvent = done.native();
      ResetEvent(overlapped.hEvent);
      return ReadDirectoryChangesW(handle, buffer, sizeof buffer, FALSE, kChanges, nullptr,
                                   &overlapped, nullptr) != FALSE;
    }

    // True when the records name one of the names; an overflowed buffer (no records) may hide
    // any of them.
    bool Names(DWORD bytes) const {
      if (bytes == 0) return true;
      for (DWORD offset = 0;;) {
        const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
        for (const std::wstring& name : names) {
          if (CompareStringOrdinal(record->FileName, static_cast<int>(record->FileNameLength / 2),
                                   name.c_str(), static_cast<int>(name.size()),
                                   TRUE) == CSTR_EQUAL) {
            return true;
          }
        }
        if (record->NextEntryOffset == 0 || offset + record->NextEntryOffset >= bytes) return false;
        offset += record->NextEntryOffset;
      }
    }
  };

  FileChangeSink sink = nullptr;
  void* context = nullptr;
  std::filesystem::path file;
  std::vector<std::unique_ptr<Folder>> folders;
  Event stop{Event::Kind::kManualReset};
  Event armed{Event::Kind::kManualReset};  // the first reads are issued (or failed)
  bool own_folder = false;                 // the file's folder was watched at the first arming
  Thread thread;

  static uint32_t Main(void* self) {
    auto* state = static_cast<State*>(self);
    state->Run();
    state->folders.clear();  // their reads end on the thread that issued them
    return 0;
  }

  // The target of a file that is a symbolic link (or other reparse point); empty otherwise.
  std::filesystem::path LinkTarget() const {
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      return {};
    }
    HANDLE target = CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) return {};
    std::wstring path(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(target, path.data(), 32768, FILE_NAME_NORMALIZED);
    CloseHandle(target);
    if (length == 0 || length >= 32768) return {};
    path.resize(length);
    return std::filesystem::path(path);
  }

  // Watches the folders the path leads through now; a folder already watched keeps its read,
  // one no longer wanted (or gone) is let go, so that it can be deleted and made again.
  void Arm() {
    std::vector<std::pair<std::filesystem::path, std::wstring>> wanted;  // folder, name
    wanted.emplace_back(file.parent_path(), file.filename().wstring());
    wanted.emplace_back(file.parent_path().parent_path(), file.parent_path().filename().wstring());
    if (const std::filesystem::path target = LinkTarget(); !target.empty()) {
      wanted.emplace_back(target.parent_path(), target.filename().wstring());
    }
    std::vector<std::unique_ptr<Folder>> kept;
    for (size_t index = 0; index < wanted.size(); ++index) {
      const std::wstring folder = wanted[index].first.wstring();
      const std::wstring& name = wanted[index].second;
      if (folder.empty() || name.empty()) continue;
      auto same = [&](const std::unique_ptr<Folder>& entry) {
        return entry != nullptr && CompareStringOrdinal(entry->path.c_str(), -1, folder.c_str(), -1,
                                                        TRUE) == CSTR_EQUAL;
      };
      if (auto found = std::find_if(kept.begin(), kept.end(), same); found != kept.end()) {
        (*found)->names.push_back(name);
        if (index == 0) own_folder = true;
        continue;
      }
      std::unique_ptr<Folder> entry;
      // A folder being deleted can no longer be looked at: its handle is let go, so that the
      // deletion completes and the folder can be made again.
      auto found = std::find_if(folders.begin(), folders.end(), same);
      if (found != folders.end() && GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        found->reset();
        found = folders.end();
      }
      if (found != folders.end()) {
        entry = std::move(*found);
        entry->names.clear();
      } else {
        entry = std::make_unique<Folder>();
        entry->path = folder;
        entry->handle = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                                    nullptr);
        if (entry->handle == INVALID_HANDLE_VALUE || !entry->done.Valid() || !entry->Issue()) continue;
      }
      entry->names.push_back(name);
      if (index == 0) own_folder = true;
      kept.push_back(std::move(entry));
    }
    folders = std::move(kept);  // the rest end their reads and close
  }

  void Run() {
    Arm();
    armed.Set();
    bool pending = false;  // a change waits for the file to be quiet
    ULONGLONG quiet_at = 0;
    int busy = 0;
    for (;;) {
      std::vector<HANDLE> waits = {stop.native()};
      for (const auto& folder : folders) waits.push_back(folder->done.native());
      DWORD timeout = INFINITE;
      if (pending) {
        const ULONGLONG now = GetTickCount64();
        timeout = now >= quiet_at ? 0 : static_cast<DWORD>(quiet_at - now);
      }
      const DWORD signalled =
          WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, timeout);
      if (signalled == WAIT_OBJECT_0 || signalled == WAIT_FAILED) return;
      if (signalled == WAIT_TIMEOUT) {
        // An editor still holding the file has not finished: wait for it a while.
        if (FileHeldByAnother(file.u16string()) && ++busy < kBusyWaits) {
          quiet_at = GetTickCount64() + kSettleMs;
          continue;
        }
        pending = false;
        busy = 0;
        sink(context);
        continue;
      }
      Folder& folder = *folders[signalled - WAIT_OBJECT_0 - 1];
      DWORD bytes = 0;
      const bool read = GetOverlappedResult(folder.handle, &folder.overlapped, &bytes, FALSE) != FALSE;
      // A folder that went (or cannot be read any more) is let go and looked for again.
      const bool ours = !read || folder.Names(bytes);
      if (!read || !folder.Issue()) {
        CloseHandle(folder.handle);
        folder.handle = INVALID_HANDLE_VALUE;
        std::erase_if(folders, [&](const auto& entry) { return entry.get() == &folder; });
      }
      if (!ours && read) continue;
      // What changed may be the way to the file (a folder made again, a link pointed elsewhere).
      Arm();
      pending = true;
      quiet_at = GetTickCount64() + kSettleMs;
    }
  }
};

FileWatch::FileWatch(std::u16string path, FileChangeSink sink, void* context)
    : path_(std::move(path)), sink_(sink), context_(context) {}

FileWatch::~FileWatch() { Stop(); }

bool FileWatch::Start() {
  if (state_ != nullptr) return true;
  const std::filesystem::path file(Wide(path_));
  const std::filesystem::path parent = file.parent_path();
  std::error_code failed;
  if (parent.empty() || file.filename().empty()) return false;
  std::filesystem::create_directories(parent, failed);
  auto state = std::make_unique<State>();
  state->sink = sink_;
  state->context = context_;
  state->file = file;
  if (!state->stop.Valid() || !state->armed.Valid() || !state->thread.Start(&State::Main, state.get())) {
    return false;
  }
  // From here on no change is missed: the folders' changes queue up between reads.
  state->armed.Wait();
  if (!state->own_folder) {
    state->stop.Set();
    state->thread.Join();
    return false;
  }
  state_ = std::move(state);
  return true;
}

void FileWatch::Stop() {
  if (state_ == nullptr) return;
  state_->stop.Set();
  state_->thread.Join();
  state_.reset();
}

}  // namespace platform
