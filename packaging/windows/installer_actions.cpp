// Custom actions of the Windows Installer package (a DLL in its Binary table).
//
// CloseSkyhelm runs before the installer validates and changes anything: it asks the running
// service of this session to close, as a log-off would (WM_CLOSE to its message-only window), and
// waits for its process to end, so that no file of it is in use when files are replaced or
// removed. One that cannot be closed stops the install before anything was changed, with a
// message that says why and what to do. The program it closed is named in a property, which the
// installer hands to RestartSkyhelmOnRollback: should the install fail later and be rolled back,
// that program is started again.
//
// RemoveLogVariable runs once an uninstall is done: it removes the user variable SKYHELM_LOG that
// skyhelm-ctl log sets, as skyhelm-ctl log off does. The log file itself is the user's and stays.
// KeepLogVariable puts the variable back in an upgrade whose removal of the older version took it.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

#include "app/process_entry.h"
#include "log_variable.h"

namespace {

constexpr DWORD kCloseTimeoutMs = 10000;
// The rollback action gets its data from the property of its own name.
constexpr wchar_t kRestartAction[] = L"RestartSkyhelmOnRollback";

const wchar_t* WindowClass() { return reinterpret_cast<const wchar_t*>(app::kInstanceName); }

std::wstring ErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring result = L"error " + std::to_wstring(error);
  if (length != 0 && text != nullptr) {
    std::wstring message(text, length);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
      message.pop_back();
    result = message + L", " + result;
  }
  LocalFree(text);
  return result;
}

// Writes text to the installer's log, or shows it as an error (a message box when the install has
// a user interface; the log alone under /qn). The text goes in as a field, so that brackets in it
// are not read as installer properties.
void Tell(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring& text) {
  PMSIHANDLE record = MsiCreateRecord(1);
  MsiRecordSetStringW(record, 0, L"[1]");
  MsiRecordSetStringW(record, 1, text.c_str());
  const UINT style = kind == INSTALLMESSAGE_ERROR ? MB_OK | MB_ICONERROR : 0;
  MsiProcessMessage(install, static_cast<INSTALLMESSAGE>(kind | style), record);
}

UINT CannotClose(MSIHANDLE install, DWORD process_id, const std::wstring& why,
                 const std::wstring& what_to_do) {
  Tell(install, INSTALLMESSAGE_ERROR,
       L"Skyhelm is running (process " + std::to_wstring(process_id) + L") and cannot be closed: " +
           why + L". " + what_to_do + L" Nothing was changed.");
  return ERROR_INSTALL_FAILURE;
}

std::wstring ImagePath(HANDLE process) {
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  if (!QueryFullProcessImageNameW(process, 0, path.data(), &size)) return {};
  path.resize(size);
  return path;
}

// A property of the install; empty when it has none or cannot be read.
std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  std::wstring value(MAX_PATH, L'\0');
  DWORD size = static_cast<DWORD>(value.size());
  UINT read = MsiGetPropertyW(install, name, value.data(), &size);
  if (read == ERROR_MORE_DATA) {
    value.resize(++size);
    read = MsiGetPropertyW(install, name, value.data(), &size);
  }
  if (read != ERROR_SUCCESS) return {};
  value.resize(size);
  return value;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CloseSkyhelm(MSIHANDLE install) {
  const std::wstring other_rights =
      L"It was probably started with other rights (as administrator or by another user). End "
      L"skyhelm.exe in Task Manager (Details), or sign out and in, then try again.";
  // A service started while the first one closed (by the log-on start) is closed as well.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const HWND window = FindWindowExW(HWND_MESSAGE, nullptr, WindowClass(), nullptr);
    if (window == nullptr) return ERROR_SUCCESS;
    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    const HANDLE process =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (process == nullptr) {
      return CannotClose(install, process_id,
                         L"its process cannot be opened (" + ErrorText(GetLastError()) + L")",
                         other_rights);
    }
    const std::wstring exe = ImagePath(process);
    if (!PostMessageW(window, WM_CLOSE, 0, 0)) {
      const DWORD error = GetLastError();
      CloseHandle(process);
      return CannotClose(install, process_id,
                         L"it does not accept the request to close (" + ErrorText(error) + L")",
                         other_rights);
    }
    const DWORD waited = WaitForSingleObject(process, kCloseTimeoutMs);
    CloseHandle(process);
    if (waited != WAIT_OBJECT_0) {
      return CannotClose(install, process_id,
                         L"it was asked to close and still runs after " +
                             std::to_wstring(kCloseTimeoutMs / 1000) + L" s",
                         L"End skyhelm.exe in Task Manager (Details), then try again.");
    }
    Tell(install, INSTALLMESSAGE_INFO,
         L"Closed Skyhelm (process " + std::to_wstring(process_id) + L", " + exe + L").");
    if (!exe.empty()) MsiSetPropertyW(install, kRestartAction, exe.c_str());
  }
  const HWND still = FindWindowExW(HWND_MESSAGE, nullptr, WindowClass(), nullptr);
  if (still == nullptr) return ERROR_SUCCESS;
  DWORD process_id = 0;
  GetWindowThreadProcessId(still, &process_id);
  return CannotClose(install, process_id, L"it is started again each time it closes",
                     L"End what starts it, then try again.");
}

extern "C" __declspec(dllexport) UINT __stdcall RestartSkyhelmOnRollback(MSIHANDLE install) {
  const std::wstring exe = Property(install, L"CustomActionData");
  if (exe.empty()) return ERROR_SUCCESS;
  const std::wstring folder = exe.substr(0, exe.find_last_of(L'\\'));
  std::wstring command_line = L"\"" + exe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, folder.c_str(),
                      &startup, &process)) {
    Tell(install, INSTALLMESSAGE_INFO,
         L"Could not start Skyhelm again (" + exe + L"): " + ErrorText(GetLastError()) + L".");
    return ERROR_SUCCESS;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  Tell(install, INSTALLMESSAGE_INFO, L"Started Skyhelm again (" + exe + L").");
  return ERROR_SUCCESS;
}

// Runs after the uninstall is committed (so that nothing rolls it back), and only when the product
// is removed for good, not when an upgrade removes the older version. A variable that cannot be
// removed is logged; the uninstall, already done, still succeeds.
extern "C" __declspec(dllexport) UINT __stdcall RemoveLogVariable(MSIHANDLE install) {
  const LSTATUS status = ctl::SetLogVariable(std::wstring());
  if (status != ERROR_SUCCESS) {
    Tell(install, INSTALLMESSAGE_INFO,
         L"Could not remove the user variable SKYHELM_LOG: " +
             ErrorText(static_cast<DWORD>(status)) + L".");
  } else {
    Tell(install, INSTALLMESSAGE_INFO, L"The user variable SKYHELM_LOG is removed.");
  }
  return ERROR_SUCCESS;
}

// Runs in an upgrade right after the older version was removed. Windows Installer tells that
// removal it is part of an upgrade (UPGRADINGPRODUCTCODE), and it keeps the variable; an installer
// that does not (Wine's) lets it remove the variable, and the value the install found at its start
// (LOGSETTING) is written back. That value comes as the registry search reads it raw: one that is
// not a plain string starts with # and is left alone. A variable that cannot be written is logged.
extern "C" __declspec(dllexport) UINT __stdcall KeepLogVariable(MSIHANDLE install) {
  const std::wstring setting = Property(install, L"LOGSETTING");
  if (setting.empty() || setting.front() == L'#') return ERROR_SUCCESS;
  if (const LSTATUS status = ctl::SetLogVariable(setting); status != ERROR_SUCCESS) {
    Tell(install, INSTALLMESSAGE_INFO,
         L"Could not keep the user variable SKYHELM_LOG (" + setting + L"): " +
             ErrorText(static_cast<DWORD>(status)) + L".");
  }
  return ERROR_SUCCESS;
}
