// skyhelm-setup: installs the service for the current user (a folder with the programs and the
// controllers' .dat output descriptions, a Run value that starts it at log-on, started at once),
// shows whether it is installed and running, and removes all of it again.
//
//   skyhelm-setup [install] [--folder FOLDER] [--dat FOLDER]
//   skyhelm-setup uninstall
//   skyhelm-setup status
//
// The programs are taken from the folder this program lies in (the unpacked package). Every
// failure is reported with what was and was not changed; the exit status is 0 on success, 1 on
// failure and 2 for bad usage.
#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/process_entry.h"

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"Skyhelm";
constexpr wchar_t kServiceName[] = L"skyhelm.exe";
// What an install copies from the package folder besides the .dat files; the service is first.
constexpr const wchar_t* kPackageFiles[] = {L"skyhelm.exe", L"skyhelm-doc.exe", L"README.txt"};
constexpr DWORD kStopTimeoutMs = 10000;
constexpr DWORD kStartTimeoutMs = 10000;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const wchar_t* WindowClass() { return reinterpret_cast<const wchar_t*>(app::kInstanceName); }

// Writes text to a console as UTF-16, or as UTF-8 to a file or pipe.
void Write(DWORD which, const std::wstring& text) {
  HANDLE out = GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                      nullptr, nullptr);
  WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}
void Say(const std::wstring& line) { Write(STD_OUTPUT_HANDLE, line + L"\r\n"); }
void Complain(const std::wstring& line) { Write(STD_ERROR_HANDLE, L"skyhelm-setup: " + line + L"\r\n"); }

// The system's text for an error code, without the trailing line break.
std::wstring ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length != 0 ? std::wstring(buffer, length) : L"error " + std::to_wstring(code);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                           text.back() == L'.')) {
    text.pop_back();
  }
  return text;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) { return folder + L"\\" + name; }

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The absolute form of a path, without a trailing backslash (unless it is a drive root).
std::wstring FullPath(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  full.resize(length);
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  return full;
}

std::wstring ParentFolder(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring ThisProgramFolder() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return ParentFolder(path);
}

// The user's local programs folder plus "Skyhelm" (%LOCALAPPDATA%\Programs\Skyhelm).
std::wstring DefaultInstallFolder() {
  std::wstring folder;
  wchar_t* known = nullptr;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_UserProgramFiles, KF_FLAG_DEFAULT, nullptr, &known))) {
    folder = known;
  }
  CoTaskMemFree(known);
  known = nullptr;
  if (folder.empty() &&
      SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &known))) {
    folder = Join(known, L"Programs");
  }
  CoTaskMemFree(known);
  return folder.empty() ? std::wstring() : Join(folder, L"Skyhelm");
}

// The names of the .dat files directly in a folder, in the order the folder lists them.
std::vector<std::wstring> DatFiles(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Join(folder, L"*.dat").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

// Whether a name is that of an output description: a device type GUID in the form
// XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX plus ".dat". Only these are removed on uninstall.
bool IsOutputDescriptionName(const std::wstring& name) {
  if (name.size() != 40 || !SameText(name.substr(36), L".dat")) return false;
  for (size_t i = 0; i < 36; ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? name[i] != L'-' : !iswxdigit(name[i])) return false;
  }
  return true;
}

// The installed service's path from the Run value ("C:\...\skyhelm.exe" with its quotes); empty
// when there is none.
std::wstring InstalledServicePath() {
  wchar_t value[4096];
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, value, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  std::wstring path = value;
  if (path.size() >= 2 && path.front() == L'"') path = path.substr(1, path.find(L'"', 1) - 1);
  return path;
}

struct RunningService {
  HWND window = nullptr;
  DWORD process_id = 0;
};

// The running instance of the current session: its message-only window and its process.
RunningService FindRunningService() {
  RunningService running;
  running.window = FindWindowExW(HWND_MESSAGE, nullptr, WindowClass(), nullptr);
  if (running.window != nullptr) GetWindowThreadProcessId(running.window, &running.process_id);
  return running;
}

// Sends WM_CLOSE to the running instance's window and waits for its process to end. True when no
// instance runs any more.
bool StopRunningService() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const RunningService running = FindRunningService();
    if (running.window == nullptr) return true;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, running.process_id);
    PostMessageW(running.window, WM_CLOSE, 0, 0);
    DWORD waited = WAIT_FAILED;
    if (process != nullptr) {
      waited = WaitForSingleObject(process, kStopTimeoutMs);
      CloseHandle(process);
    } else {
      // The process cannot be waited on: wait for its window to go instead.
      for (DWORD slept = 0; slept < kStopTimeoutMs && IsWindow(running.window); slept += 50) Sleep(50);
      waited = IsWindow(running.window) ? WAIT_TIMEOUT : WAIT_OBJECT_0;
    }
    if (waited != WAIT_OBJECT_0) {
      Complain(L"Skyhelm (process " + std::to_wstring(running.process_id) + L") did not end within " +
               std::to_wstring(kStopTimeoutMs / 1000) + L" s of WM_CLOSE");
      return false;
    }
    Say(L"Stopped Skyhelm (process " + std::to_wstring(running.process_id) + L").");
  }
  return FindRunningService().window == nullptr;
}

// Starts the installed service and waits until its window exists. False when it could not be
// started or ended before its window appeared.
bool StartService(const std::wstring& folder) {
  const std::wstring exe = Join(folder, kServiceName);
  std::wstring command_line = L"\"" + exe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, folder.c_str(), &startup,
                      &process)) {
    Complain(L"could not start " + exe + L": " + ErrorText(GetLastError()));
    return false;
  }
  CloseHandle(process.hThread);
  bool started = false;
  for (DWORD waited = 0; waited < kStartTimeoutMs; waited += 50) {
    const RunningService running = FindRunningService();
    if (running.window != nullptr && running.process_id == process.dwProcessId) {
      started = true;
      break;
    }
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
  }
  DWORD exit_code = STILL_ACTIVE;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  if (started) {
    Say(L"Skyhelm is running (process " + std::to_wstring(process.dwProcessId) + L").");
  } else if (exit_code != STILL_ACTIVE) {
    Complain(L"Skyhelm ended at once (exit code " + std::to_wstring(exit_code) +
             L"); another instance may be running");
  } else {
    Complain(L"Skyhelm started but showed no window within " +
             std::to_wstring(kStartTimeoutMs / 1000) + L" s");
  }
  return started;
}

// Creates a folder and its missing parents; the folders it created go into created, deepest last.
bool CreateFolders(const std::wstring& folder, std::vector<std::wstring>* created) {
  if (IsFolder(folder)) return true;
  const std::wstring parent = ParentFolder(folder);
  if (!parent.empty() && parent != folder && !CreateFolders(parent, created)) return false;
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  created->push_back(folder);
  return true;
}

void RemoveFolders(const std::vector<std::wstring>& created) {
  for (auto folder = created.rbegin(); folder != created.rend(); ++folder) RemoveDirectoryW(folder->c_str());
}

// Whether a new file can be created in the folder: a probe file, deleted when closed.
DWORD ProbeWrite(const std::wstring& folder) {
  HANDLE probe = CreateFileW(Join(folder, L"skyhelm-setup.probe").c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(probe);
  return ERROR_SUCCESS;
}

// Removes what an install put into the folder (the package files and the output descriptions),
// then the folder when nothing else is left in it. False when a file could not be removed.
bool RemoveInstalledFiles(const std::wstring& folder) {
  bool removed_all = true;
  std::vector<std::wstring> names(std::begin(kPackageFiles), std::end(kPackageFiles));
  for (const std::wstring& name : DatFiles(folder)) {
    if (IsOutputDescriptionName(name)) names.push_back(name);
  }
  for (const std::wstring& name : names) {
    const std::wstring path = Join(folder, name);
    if (IsFile(path) && !DeleteFileW(path.c_str())) {
      Complain(L"could not remove " + path + L": " + ErrorText(GetLastError()));
      removed_all = false;
    }
  }
  if (removed_all && IsFolder(folder)) {
    if (RemoveDirectoryW(folder.c_str())) {
      Say(L"Removed " + folder + L".");
    } else {
      Say(L"Removed Skyhelm's files from " + folder + L"; the folder stays: it holds other files.");
    }
  }
  return removed_all;
}

bool WriteRunValue(const std::wstring& service_path) {
  const std::wstring command = L"\"" + service_path + L"\"";
  const LSTATUS status = RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, REG_SZ, command.c_str(),
                                         static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS) {
    Complain(L"could not write the log-on start (HKCU\\" + std::wstring(kRunKey) + L", value " +
             kRunValue + L"): " + ErrorText(static_cast<DWORD>(status)));
    return false;
  }
  return true;
}

bool DeleteRunValue() {
  const LSTATUS status = RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kRunValue);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    Complain(L"could not remove the log-on start: " + ErrorText(static_cast<DWORD>(status)));
    return false;
  }
  return true;
}

int Install(std::wstring folder, std::wstring dat_folder) {
  const std::wstring package = ThisProgramFolder();
  if (!IsFile(Join(package, kServiceName))) {
    Complain(L"skyhelm.exe is not beside this program in " + package +
             L"; run skyhelm-setup from the unpacked package folder");
    return kExitFailed;
  }
  if (folder.empty()) folder = DefaultInstallFolder();
  if (folder.empty()) {
    Complain(L"the local programs folder is unknown; name a folder with --folder");
    return kExitFailed;
  }
  folder = FullPath(folder);
  dat_folder = FullPath(dat_folder.empty() ? package : dat_folder);
  if (SameText(folder, package)) {
    Complain(L"the package folder " + package + L" cannot be the install folder; name another one");
    return kExitFailed;
  }
  if (!IsFolder(dat_folder)) {
    Complain(L"the .dat folder " + dat_folder + L" does not exist; nothing was changed");
    return kExitFailed;
  }
  const std::vector<std::wstring> dat_files = DatFiles(dat_folder);

  // Nothing is changed before the folder is known to take new files.
  std::vector<std::wstring> created;
  if (!CreateFolders(folder, &created)) {
    const DWORD error = GetLastError();
    RemoveFolders(created);
    Complain(L"cannot create the folder " + folder + L": " + ErrorText(error) + L"; nothing was changed");
    return kExitFailed;
  }
  if (const DWORD error = ProbeWrite(folder); error != ERROR_SUCCESS) {
    RemoveFolders(created);
    Complain(L"cannot write into the folder " + folder + L": " + ErrorText(error) +
             L"; nothing was changed");
    return kExitFailed;
  }

  const std::wstring previous = InstalledServicePath();
  const std::wstring previous_folder = ParentFolder(previous);
  // A running instance holds its executable open: it is stopped before the files are replaced.
  if (!StopRunningService()) {
    RemoveFolders(created);
    Complain(L"nothing was installed");
    return kExitFailed;
  }
  for (const wchar_t* name : kPackageFiles) {
    const std::wstring from = Join(package, name);
    if (!IsFile(from)) continue;
    if (!CopyFileW(from.c_str(), Join(folder, name).c_str(), FALSE)) {
      Complain(L"could not copy " + from + L" into " + folder + L": " + ErrorText(GetLastError()));
      return kExitFailed;
    }
  }
  for (const std::wstring& name : dat_files) {
    if (!CopyFileW(Join(dat_folder, name).c_str(), Join(folder, name).c_str(), FALSE)) {
      Complain(L"could not copy " + Join(dat_folder, name) + L": " + ErrorText(GetLastError()));
      return kExitFailed;
    }
  }
  if (previous.empty()) {
    Say(L"Installed Skyhelm in " + folder + L".");
  } else if (SameText(previous_folder, folder)) {
    Say(L"Skyhelm was installed in " + folder + L" already: its files are replaced.");
  } else {
    Say(L"Installed Skyhelm in " + folder + L"; removing the earlier installation in " +
        previous_folder + L".");
    RemoveInstalledFiles(previous_folder);
  }
  if (dat_files.empty()) {
    Say(L"No .dat files in " + dat_folder + L": no controller can be served until its .dat output "
        L"description is copied into " + folder + L" (or run setup again with --dat FOLDER).");
  } else {
    Say(L"Copied " + std::to_wstring(dat_files.size()) + L" .dat file(s) from " + dat_folder + L":");
    for (const std::wstring& name : dat_files) Say(L"  " + name);
  }
  if (!WriteRunValue(Join(folder, kServiceName))) return kExitFailed;
  Say(L"Skyhelm starts at log-on (HKCU\\" + std::wstring(kRunKey) + L", value " + kRunValue + L").");
  return StartService(folder) ? kExitOk : kExitFailed;
}

int Uninstall() {
  const std::wstring installed = InstalledServicePath();
  if (installed.empty()) {
    Say(L"Skyhelm is not installed for this user: nothing to remove.");
    return kExitOk;
  }
  if (!StopRunningService()) {
    Complain(L"nothing was removed");
    return kExitFailed;
  }
  // The Run value goes last: while a file is left, setup can still find the installation.
  if (!RemoveInstalledFiles(ParentFolder(installed))) {
    Complain(L"the installation is left in place; close what holds the files and run uninstall again");
    return kExitFailed;
  }
  if (!DeleteRunValue()) return kExitFailed;
  Say(L"Skyhelm no longer starts at log-on. Uninstalled.");
  return kExitOk;
}

int Status() {
  const std::wstring installed = InstalledServicePath();
  if (installed.empty()) {
    Say(L"Skyhelm is not installed for this user.");
  } else {
    Say(L"Skyhelm is installed in " + ParentFolder(installed) + L" and starts at log-on.");
  }
  const RunningService running = FindRunningService();
  if (running.window == nullptr) {
    Say(L"Skyhelm is not running.");
  } else {
    Say(L"Skyhelm is running (process " + std::to_wstring(running.process_id) + L").");
  }
  return kExitOk;
}

// The usage text: on standard output with status 0 when asked for, else on standard error with 2.
int Usage(bool asked = false) {
  Write(asked ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE,
        L"usage: skyhelm-setup [install] [--folder FOLDER] [--dat FOLDER]\r\n"
        L"       skyhelm-setup uninstall\r\n"
        L"       skyhelm-setup status\r\n"
        L"install puts Skyhelm into FOLDER (default: %LOCALAPPDATA%\\Programs\\Skyhelm) with the\r\n"
        L".dat files of the --dat folder (default: this program's folder), starts it at log-on and\r\n"
        L"now. uninstall stops it and removes all of that again.\r\n");
  return asked ? kExitOk : kExitUsage;
}

// Started from Explorer (no arguments, a console of its own), the console would close at exit
// with the messages: they stay until Enter is pressed. Started from a command prompt, they stay
// anyway.
void PauseWhenConsoleIsOwn() {
  DWORD processes[2];
  DWORD mode = 0;
  if (GetConsoleProcessList(processes, 2) != 1 || !GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return;
  Say(L"Press Enter to close this window.");
  wchar_t buffer[16];
  DWORD read = 0;
  ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), buffer, 16, &read, nullptr);
}

int Run(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  std::wstring command = L"install";
  size_t next = 0;
  if (!args.empty() && args[0].rfind(L"--", 0) != 0) command = args[next++];
  if (command == L"help" || (!args.empty() && (args[0] == L"--help" || args[0] == L"/?"))) {
    return Usage(/*asked=*/true);
  }
  if (command == L"uninstall" || command == L"status") {
    if (next != args.size()) return Usage();
    return command == L"uninstall" ? Uninstall() : Status();
  }
  if (command != L"install") return Usage();
  std::wstring folder;
  std::wstring dat_folder;
  for (; next < args.size(); next += 2) {
    if (next + 1 >= args.size() || args[next + 1].empty()) return Usage();
    if (args[next] == L"--folder") {
      folder = args[next + 1];
    } else if (args[next] == L"--dat") {
      dat_folder = args[next + 1];
    } else {
      return Usage();
    }
  }
  return Install(folder, dat_folder);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int status = Run(argc, argv);
  if (argc == 1) PauseWhenConsoleIsOwn();
  return status;
}
