// Programs on Windows: the foreground watch (WinEvent hooks, and under Wine a 250 ms comparison
// of GetForegroundWindow and its title), the Toolhelp list of running programs and the watch of process ends.
#include "platform/programs.h"

#include <windows.h>
#include <tlhelp32.h>

#include <mutex>
#include <utility>

#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/win32/foreground_hook.h"

namespace platform {

struct ForegroundWatch::State {
  ForegroundSink sink = nullptr;
  void* context = nullptr;
  HWINEVENTHOOK hooks[3] = {};
  UINT_PTR timer = 0;
  HWND last = nullptr;
  std::u16string last_title;  // the last window's title when it was reported
  bool reported = false;  // something has been reported (the first report is never skipped)
};

namespace {

constexpr UINT kWineCompareMs = 250;

// The hook and the timer carry no context: each reaches the watch started on its thread.
thread_local ForegroundWatch::State* t_watch = nullptr;

std::u16string Units(const wchar_t* text, size_t length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

// The executable's full path through limited query rights; false when the process will not say
// (protected or gone).
bool ImagePath(DWORD pid, std::u16string* out) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  std::wstring path(MAX_PATH, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  BOOL ok = QueryFullProcessImageNameW(process, 0, path.data(), &size);
  if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    path.assign(32768, L'\0');
    size = static_cast<DWORD>(path.size());
    ok = QueryFullProcessImageNameW(process, 0, path.data(), &size);
  }
  CloseHandle(process);
  if (!ok) return false;
  *out = Units(path.data(), size);
  return true;
}

// The desktop, or nothing, is in front: no program.
bool IsDesktop(HWND window) {
  if (window == nullptr || window == GetDesktopWindow() || window == GetShellWindow()) return true;
  wchar_t name[16] = {};
  // The layer that holds the desktop icons on current Windows.
  return GetClassNameW(window, name, 16) > 0 && lstrcmpW(name, L"WorkerW") == 0;
}

std::u16string TitleOf(HWND window) {
  if (window == nullptr) return std::u16string();
  wchar_t title[512] = {};
  const int length = GetWindowTextW(window, title, 512);
  return Units(title, length > 0 ? static_cast<size_t>(length) : 0);
}

// The one path of every change, whether the hook or the comparison saw it: another window in
// front, or the same window with another title (games show "Loading..." first).
void Seen(ForegroundWatch::State* state, HWND window) {
  if (IsDesktop(window)) window = nullptr;  // one desktop, however it is reached
  std::u16string title = TitleOf(window);
  if (state->reported && window == state->last && title == state->last_title) return;
  DWORD pid = 0;
  if (window != nullptr) GetWindowThreadProcessId(window, &pid);
  if (window != nullptr && pid == GetCurrentProcessId()) return;  // the service's own window
  state->last = window;
  state->last_title = title;
  state->reported = true;
  ProgramInfo info;
  if (window != nullptr) {
    info.pid = pid;
    info.title = std::move(title);
    info.path_unknown = !ImagePath(pid, &info.path);
  }
  state->sink(state->context, info);
}

void CALLBACK CompareForeground(HWND, UINT, UINT_PTR, DWORD) {
  if (t_watch != nullptr) Seen(t_watch, GetForegroundWindow());
}

// Wine's ntdll exports wine_get_version; Windows' never does.
bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

void CALLBACK ForegroundEventProc(HWINEVENTHOOK, DWORD event, HWND window, LONG object,
                                  LONG child, DWORD, DWORD) {
  if (object != OBJID_WINDOW || child != CHILDID_SELF || t_watch == nullptr) return;
  if (event == EVENT_OBJECT_NAMECHANGE) {
    // Names change all over the system: only the title of the window in front matters.
    if (window == nullptr || window != GetForegroundWindow()) return;
  } else if (event != EVENT_SYSTEM_FOREGROUND && event != EVENT_SYSTEM_MINIMIZEEND) {
    return;
  }
  Seen(t_watch, window);
}

ForegroundWatch::ForegroundWatch(ForegroundSink sink, void* context)
    : sink_(sink), context_(context) {}

ForegroundWatch::~ForegroundWatch() { Stop(); }

bool ForegroundWatch::Start() {
  if (state_ != nullptr) return true;
  if (t_watch != nullptr) return false;  // one watch per thread: the callbacks find it by thread
  auto state = std::make_unique<State>();
  state->sink = sink_;
  state->context = context_;
  // Out of context: the events arrive as messages of this thread's loop, so the callback runs
  // here and never inside another process.
  const DWORD flags = WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS;
  state->hooks[0] = SetWinEventHook(EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND, nullptr,
                                    ForegroundEventProc, 0, 0, flags);
  state->hooks[1] = SetWinEventHook(EVENT_SYSTEM_MINIMIZEEND, EVENT_SYSTEM_MINIMIZEEND, nullptr,
                                    ForegroundEventProc, 0, 0, flags);
  state->hooks[2] = SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_NAMECHANGE, nullptr,
                                    ForegroundEventProc, 0, 0, flags);
  if (state->hooks[0] == nullptr) {
    for (HWINEVENTHOOK hook : state->hooks) {
      if (hook != nullptr) UnhookWinEvent(hook);
    }
    return false;
  }
  if (UnderWine()) state->timer = SetTimer(nullptr, 0, kWineCompareMs, CompareForeground);
  polling_ = state->timer != 0;
  t_watch = state.get();
  state_ = std::move(state);
  Seen(t_watch, GetForegroundWindow());
  return true;
}

int ForegroundWatch::PollFd() const { return -1; }

bool ForegroundWatch::Dispatch() { return true; }

// Must run on the thread that called Start: hooks and the timer belong to it.
void ForegroundWatch::Stop() {
  if (state_ == nullptr) return;
  for (HWINEVENTHOOK hook : state_->hooks) {
    if (hook != nullptr) UnhookWinEvent(hook);
  }
  if (state_->timer != 0) KillTimer(nullptr, state_->timer);
  if (t_watch == state_.get()) t_watch = nullptr;
  polling_ = false;
  state_.reset();
}

bool RunningPrograms(std::vector<ProgramInfo>* out) {
  out->clear();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == 0) continue;  // the idle process
    ProgramInfo info;
    info.pid = entry.th32ProcessID;
    info.path_unknown = !ImagePath(entry.th32ProcessID, &info.path);
    out->push_back(std::move(info));
  }
  CloseHandle(snapshot);
  return true;
}

// The ended processes are reported from one thread that waits for the stop signal, a wake-up
// (the list changed) and every watched process handle at once.
struct ExitWatch::State {
  ExitSink sink = nullptr;
  void* context = nullptr;
  Event stop{Event::Kind::kManualReset};
  Event wake{Event::Kind::kAutoReset};
  Thread thread;
  std::mutex lock;
  std::vector<std::pair<uint32_t, HANDLE>> watched;  // guarded by lock

  static uint32_t Main(void* self) {
    static_cast<State*>(self)->Run();
    return 0;
  }

  void Run() {
    for (;;) {
      std::vector<HANDLE> handles = {stop.native(), wake.native()};
      std::vector<uint32_t> pids;
      {
        std::lock_guard<std::mutex> hold(lock);
        for (const auto& [pid, process] : watched) {
          pids.push_back(pid);
          handles.push_back(process);
        }
      }
      const DWORD signalled = WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                     handles.data(), FALSE, INFINITE);
      if (signalled == WAIT_OBJECT_0 || signalled == WAIT_FAILED) return;
      const DWORD index = signalled - WAIT_OBJECT_0;
      if (index < 2 || index >= handles.size()) continue;
      {
        std::lock_guard<std::mutex> hold(lock);
        std::erase_if(watched, [&](const auto& entry) { return entry.second == handles[index]; });
      }
      CloseHandle(handles[index]);
      sink(context, pids[index - 2]);
    }
  }
};

ExitWatch::ExitWatch(ExitSink sink, void* context) : sink_(sink), context_(context) {}

ExitWatch::~ExitWatch() { Stop(); }

bool ExitWatch::Watch(uint32_t pid) {
  if (state_ == nullptr) {
    auto state = std::make_unique<State>();
    state->sink = sink_;
    state->context = context_;
    if (!state->stop.Valid() || !state->wake.Valid() || !state->thread.Start(&State::Main, state.get())) {
      return false;
    }
    state_ = std::move(state);
  }
  std::lock_guard<std::mutex> hold(state_->lock);
  for (const auto& entry : state_->watched) {
    if (entry.first == pid) return true;
  }
  // Two of the wait's handles are the stop signal and the wake-up.
  if (state_->watched.size() + 2 >= MAXIMUM_WAIT_OBJECTS) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return false;
  state_->watched.emplace_back(pid, process);
  state_->wake.Set();
  return true;
}

void ExitWatch::Stop() {
  if (state_ == nullptr) return;
  state_->stop.Set();
  state_->thread.Join();
  for (const auto& entry : state_->watched) CloseHandle(entry.second);
  state_.reset();
}

}  // namespace platform
