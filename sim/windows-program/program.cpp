// A stand-in for any program a scenario starts under Windows: skyhelm-sim copies it under the
// program's name and drives it through its message-only control window (class
// SkyhelmSimProgram, named by the process id): WM_COPYDATA with a title brings a window of that
// title to the front (creating it when there is none), or with dwData 2 gives the window last
// brought to the front that title; WM_CLOSE ends the program.
#include <windows.h>

#include <string>

namespace {

constexpr wchar_t kControlClass[] = L"SkyhelmSimProgram";
constexpr wchar_t kWindowClass[] = L"SkyhelmSimProgramWindow";
constexpr ULONG_PTR kRetitle = 2;

HWND g_last_front = nullptr;  // the window last brought to the front

struct FindTitle {
  const wchar_t* title;
  HWND found = nullptr;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM parameter) {
  auto* find = reinterpret_cast<FindTitle*>(parameter);
  wchar_t title[512] = {};
  GetWindowTextW(window, title, 512);
  if (lstrcmpW(title, find->title) != 0) return TRUE;
  find->found = window;
  return FALSE;
}

// A window of this program titled title, in front; 1 when it is the foreground window.
LRESULT BringToFront(const std::wstring& title) {
  FindTitle find{title.c_str()};
  EnumThreadWindows(GetCurrentThreadId(), MatchTitle, reinterpret_cast<LPARAM>(&find));
  HWND window = find.found;
  if (window == nullptr) {
    window = CreateWindowExW(0, kWindowClass, title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 320, 200,
                             nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window == nullptr) return 0;
  }
  ShowWindow(window, SW_SHOWNORMAL);
  SetForegroundWindow(window);
  g_last_front = window;
  return GetForegroundWindow() == window ? 1 : 0;
}

// The window last brought to the front changes its title; 1 when it did.
LRESULT Retitle(const std::wstring& title) {
  return g_last_front != nullptr && IsWindow(g_last_front) &&
                 SetWindowTextW(g_last_front, title.c_str())
             ? 1
             : 0;
}

LRESULT CALLBACK ControlProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_COPYDATA) {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
    const std::wstring title(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
    return data->dwData == kRetitle ? Retitle(title) : BringToFront(title);
  }
  if (message == WM_CLOSE) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  WNDCLASSW control{};
  control.lpfnWndProc = ControlProc;
  control.hInstance = instance;
  control.lpszClassName = kControlClass;
  WNDCLASSW window{};
  window.lpfnWndProc = DefWindowProcW;
  window.hInstance = instance;
  window.lpszClassName = kWindowClass;
  if (!RegisterClassW(&control) || !RegisterClassW(&window)) return 1;
  const std::wstring name = std::to_wstring(GetCurrentProcessId());
  if (CreateWindowExW(0, kControlClass, name.c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                      instance, nullptr) == nullptr) {
    return 1;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}
