// The rules file's location and its folder watch on Windows: ReadDirectoryChangesW on the file's
// folder, overlapped, on a thread that also waits for its stop signal.
#include "platform/file_watch.h"

#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <utility>

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

struct FileWatch::State {
  FileChangeSink sink = nullptr;
  void* context = nullptr;
  std::wstring name;  // the file's name in its folder
  HANDLE folder = INVALID_HANDLE_VALUE;
  Event stop{Event::Kind::kManualReset};
  Event done{Event::Kind::kManualReset};  // the overlapped read's completion
  Event armed{Event::Kind::kManualReset};  // the first read is issued (or failed)
  Thread thread;
  alignas(DWORD) unsigned char buffer[16384];

  ~State() {
    if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
  }

  static uint32_t Main(void* self) {
    static_cast<State*>(self)->Run();
    return 0;
  }

  // True when the records name the watched file; an overflowed buffer (no records) may hide it.
  bool Names(DWORD bytes) const {
    if (bytes == 0) return true;
    for (DWORD offset = 0;;) {
      const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + offset);
      if (CompareStringOrdinal(record->FileName, static_cast<int>(record->FileNameLength / 2),
                               name.c_str(), static_cast<int>(name.size()), TRUE) == CSTR_EQUAL) {
        return true;
      }
      if (record->NextEntryOffset == 0 || offset + record->NextEntryOffset >= bytes) return false;
      offset += record->NextEntryOffset;
    }
  }

  void Run() {
    constexpr DWORD kChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                               FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_CREATION;
    for (;;) {
      OVERLAPPED overlapped{};
      overlapped.hEvent = done.native();
      ResetEvent(overlapped.hEvent);
      const BOOL issued = ReadDirectoryChangesW(folder, buffer, sizeof buffer, FALSE, kChanges,
                                                nullptr, &overlapped, nullptr);
      armed.Set();
      if (!issued) return;
      const int signalled = WaitAny({&stop, &done});
      DWORD bytes = 0;
      if (signalled != 1) {
        // The read must end before its buffer and OVERLAPPED go.
        CancelIoEx(folder, &overlapped);
        GetOverlappedResult(folder, &overlapped, &bytes, TRUE);
        return;
      }
      if (!GetOverlappedResult(folder, &overlapped, &bytes, FALSE)) return;
      if (Names(bytes)) sink(context);
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
  state->name = file.filename().wstring();
  state->folder = CreateFileW(parent.c_str(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                              nullptr);
  if (state->folder == INVALID_HANDLE_VALUE || !state->stop.Valid() || !state->done.Valid() ||
      !state->armed.Valid() || !state->thread.Start(&State::Main, state.get())) {
    return false;
  }
  // From here on no change is missed: the folder's changes queue up between reads.
  state->armed.Wait();
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
