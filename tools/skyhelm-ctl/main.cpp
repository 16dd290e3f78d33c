// skyhelm-ctl: installs the service for the current user (a folder with the programs, the
// controllers' .dat output descriptions and setup itself, a Run value that starts it at log-on,
// an entry in Settings -> Apps, started at once), shows whether it is installed and running,
// turns its log file on and off, and removes all of it again.
//
//   skyhelm-ctl [install] [--folder FOLDER] [--dat FOLDER]
//   skyhelm-ctl uninstall
//   skyhelm-ctl status
//   skyhelm-ctl log 1|2|3|4|off
//
// The programs are taken from the folder this program lies in (the unpacked package). An install
// changes everything or nothing; every failure says what was and was not changed. The exit status
// is 0 on success, 1 on failure and 2 for bad usage.
#include <windows.h>

#include <string>
#include <vector>

#include "console.h"
#include "folders.h"
#include "registry_values.h"
#include "running_service.h"
#include "staged_files.h"

#ifndef SKYHELM_VERSION
#define SKYHELM_VERSION "0"
#endif

namespace setup {
namespace {

constexpr wchar_t kServiceName[] = L"skyhelm.exe";
constexpr wchar_t kSetupName[] = L"skyhelm-ctl.exe";
// What an install copies from the package folder besides setup and the .dat files.
constexpr const wchar_t* kPackageFiles[] = {L"skyhelm.exe", L"skyhelm-doc.exe", L"README.txt"};
constexpr DWORD kParentTimeoutMs = 10000;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::wstring Widen(const char* text) { return std::wstring(text, text + strlen(text)); }

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
  HANDLE probe = CreateFileW(Join(folder, L"skyhelm-ctl.probe").c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(probe);
  return ERROR_SUCCESS;
}

// Removes exactly the files the folder's manifest names, then the manifest, then the folder when
// nothing else is left in it. False (said so) when a file could not be removed.
bool RemoveInstalledFiles(const std::wstring& folder) {
  std::vector<std::wstring> names;
  if (!ReadManifest(folder, &names)) {
    Say(L"No list of installed files in " + folder + L": its files are left in place.");
    return true;
  }
  bool removed_all = true;
  names.push_back(kManifestName);  // last: while a file is left, uninstall can run again
  for (const std::wstring& name : names) {
    const std::wstring path = Join(folder, name);
    if (IsFile(path) && !DeleteFileW(path.c_str())) {
      Complain(L"could not remove " + path + L": " + ErrorText(GetLastError()));
      removed_all = false;
      break;
    }
  }
  if (removed_all) {
    if (RemoveDirectoryW(folder.c_str())) {
      Say(L"Removed " + folder + L".");
    } else {
      Say(L"Removed Skyhelm's files from " + folder + L"; the folder stays: it holds other files.");
    }
  }
  return removed_all;
}

// The installed service's path from the Run value; empty when there is none or it names no
// skyhelm.exe.
std::wstring InstalledServicePath() {
  std::wstring path;
  return ServicePathOfRunValue(RunValueText(), &path) ? path : std::wstring();
}

bool WriteAppsEntry(RegistryJournal& journal, const std::wstring& folder, unsigned long long bytes) {
  const std::wstring setup_exe = Join(folder, kSetupName);
  return journal.SetString(kAppsKey, L"DisplayName", L"Skyhelm") &&
         journal.SetString(kAppsKey, L"DisplayVersion", Widen(SKYHELM_VERSION)) &&
         journal.SetString(kAppsKey, L"Publisher", L"The Skyhelm developers") &&
         journal.SetString(kAppsKey, L"InstallLocation", folder) &&
         journal.SetString(kAppsKey, L"DisplayIcon", Join(folder, kServiceName)) &&
         journal.SetNumber(kAppsKey, L"EstimatedSize", static_cast<DWORD>((bytes + 1023) / 1024)) &&
         journal.SetNumber(kAppsKey, L"NoModify", 1) && journal.SetNumber(kAppsKey, L"NoRepair", 1) &&
         journal.SetString(kAppsKey, L"UninstallString", L"\"" + setup_exe + L"\" uninstall");
}

// What an install does when a step fails: everything of this run is undone, an instance setup
// stopped is started again, and the user is told what is left changed.
int GiveUp(StagedFiles& files, RegistryJournal& journal, const std::vector<std::wstring>& created,
           const std::wstring& stopped_exe) {
  bool undone = journal.Undo();
  undone = files.Undo() && undone;
  RemoveFolders(created);
  if (!stopped_exe.empty()) {
    if (StartService(stopped_exe)) {
      Say(L"Skyhelm, which setup had stopped for the install, runs again.");
    } else {
      Complain(L"Skyhelm was stopped for the install and could not be started again; it starts "
               L"at the next log-on");
    }
  }
  Complain(undone ? L"the install failed; nothing was changed"
                  : L"the install failed and could not be undone entirely: see the lines above");
  return kExitFailed;
}

int Install(std::wstring folder, std::wstring dat_folder) {
  const std::wstring setup_exe = ThisProgramPath();
  const std::wstring package = ParentFolder(setup_exe);
  if (!IsFile(Join(package, kServiceName))) {
    Complain(L"skyhelm.exe is not beside this program in " + package +
             L"; run skyhelm-ctl from the unpacked package folder");
    return kExitFailed;
  }
  if (folder.empty()) folder = DefaultInstallFolder();
  if (folder.empty()) {
    Complain(L"the local programs folder is unknown; name a folder with --folder");
    return kExitFailed;
  }
  folder = FullPath(folder);
  dat_folder = FullPath(dat_folder.empty() ? package : dat_folder);
  if (SameFolder(folder, package)) {
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

  const std::wstring previous_folder = ParentFolder(InstalledServicePath());
  const bool same_place = !previous_folder.empty() && SameFolder(previous_folder, folder);
  std::vector<std::wstring> previous_names;
  ReadManifest(folder, &previous_names);

  // A running instance holds its executable open: it is stopped before the files are replaced.
  std::wstring stopped_exe;
  if (StopRunningService(&stopped_exe) == StopResult::kCannot) {
    RemoveFolders(created);
    Complain(L"nothing was changed");
    return kExitFailed;
  }
  StagedFiles files(folder);
  RegistryJournal journal;
  for (const wchar_t* name : kPackageFiles) {
    const std::wstring from = Join(package, name);
    if (IsFile(from) && !files.Copy(from, name)) return GiveUp(files, journal, created, stopped_exe);
  }
  if (!files.Copy(setup_exe, kSetupName)) return GiveUp(files, journal, created, stopped_exe);
  for (const std::wstring& name : dat_files) {
    if (!files.Copy(Join(dat_folder, name), name)) return GiveUp(files, journal, created, stopped_exe);
  }
  if (!files.StageManifest() || !files.Commit() ||
      !journal.SetString(kRunKey, kValueName, L"\"" + Join(folder, kServiceName) + L"\"") ||
      !WriteAppsEntry(journal, folder, files.bytes())) {
    return GiveUp(files, journal, created, stopped_exe);
  }
  files.Finish(previous_names);

  if (previous_folder.empty()) {
    Say(L"Installed Skyhelm in " + folder + L".");
  } else if (same_place) {
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
  Say(L"Skyhelm starts at log-on (HKCU\\" + std::wstring(kRunKey) + L", value " + kValueName +
      L") and is listed in Settings > Apps.");
  if (StartupDisabled()) {
    Say(L"Its start at log-on is disabled in Task Manager (Startup apps): enable it there.");
  }
  return StartService(Join(folder, kServiceName)) ? kExitOk : kExitFailed;
}

std::wstring TemporaryFolder() {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  return length == 0 || length > MAX_PATH ? std::wstring() : std::wstring(temp, length);
}

// A copy that uninstalled cannot delete itself while it runs: the next setup removes it.
void RemoveEarlierTemporaryCopies() {
  const std::wstring temp = TemporaryFolder();
  if (temp.empty()) return;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((temp + L"skyhelm-ctl-*.exe").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    DeleteFileW((temp + found.cFileName).c_str());  // fails for a copy that still runs
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// Setup cannot remove the folder it runs from: a copy of it in the temporary folder does the
// uninstall once this process has ended. True when that copy was started.
bool UninstallFromTemporaryCopy() {
  const std::wstring temp = TemporaryFolder();
  if (temp.empty()) return false;
  const std::wstring copy = std::wstring(temp) + L"skyhelm-ctl-" +
                            std::to_wstring(GetCurrentProcessId()) + L".exe";
  if (!CopyFileW(ThisProgramPath().c_str(), copy.c_str(), FALSE)) return false;
  std::wstring command_line =
      L"\"" + copy + L"\" uninstall --after " + std::to_wstring(GetCurrentProcessId());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(copy.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      temp.c_str(), &startup, &process)) {
    DeleteFileW(copy.c_str());
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

int Uninstall(DWORD after_process) {
  if (after_process != 0) {
    if (HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, after_process)) {
      WaitForSingleObject(parent, kParentTimeoutMs);
      CloseHandle(parent);
    }
  }
  const std::wstring run_value = RunValueText();
  std::wstring service;
  std::wstring folder;
  if (!run_value.empty()) {
    if (!ServicePathOfRunValue(run_value, &service)) {
      Complain(L"the log-on start (HKCU\\" + std::wstring(kRunKey) + L", value " + kValueName +
               L") holds \"" + run_value + L"\", which is not the path of an installed " +
               L"skyhelm.exe (an absolute path ending in \\skyhelm.exe); nothing was removed. If " +
               L"Skyhelm is not installed, delete that value in the Registry Editor");
      return kExitFailed;
    }
    folder = ParentFolder(service);
  } else if (!ReadString(kAppsKey, L"InstallLocation", &folder)) {
    Say(L"Skyhelm is not installed for this user: nothing to remove.");
    return kExitOk;
  } else if (!ServicePathOfRunValue(Join(folder, kServiceName), &service)) {
    Complain(L"the Apps entry names the folder \"" + folder + L"\", which is not an absolute " +
             L"path; nothing was removed");
    return kExitFailed;
  }
  if (after_process == 0 && IsFolder(folder) && SameFolder(ParentFolder(ThisProgramPath()), folder)) {
    if (UninstallFromTemporaryCopy()) return kExitOk;
    Complain(L"cannot run from a copy in the temporary folder; the files in " + folder +
             L" are left. Run skyhelm-ctl uninstall from the unpacked package instead");
  }
  std::wstring stopped_exe;
  if (StopRunningService(&stopped_exe) == StopResult::kCannot) {
    Complain(L"nothing was removed");
    return kExitFailed;
  }
  if (IsFolder(folder) && !RemoveInstalledFiles(folder)) {
    if (!stopped_exe.empty() && IsFile(stopped_exe)) StartService(stopped_exe);
    Complain(L"the installation is left in place; close what holds the files and run uninstall again");
    return kExitFailed;
  }
  RegistryJournal journal;
  if (!journal.Delete(kRunKey, kValueName) || !journal.Delete(kStartupApprovedKey, kValueName) ||
      !DeleteAppsEntry()) {
    return kExitFailed;
  }
  Say(L"Skyhelm no longer starts at log-on and is no longer listed in Settings > Apps. Uninstalled.");
  return kExitOk;
}

int Status() {
  const std::wstring run_value = RunValueText();
  std::wstring service;
  if (run_value.empty()) {
    Say(L"Skyhelm is not installed for this user.");
  } else if (!ServicePathOfRunValue(run_value, &service)) {
    Say(L"The log-on start value Skyhelm holds \"" + run_value + L"\", which is not a skyhelm.exe path.");
  } else if (StartupDisabled()) {
    Say(L"Skyhelm is installed in " + ParentFolder(service) + L", but its start at log-on is " +
        L"disabled in Task Manager (Startup apps): enable it there to have it start when you log on.");
  } else {
    Say(L"Skyhelm is installed in " + ParentFolder(service) + L" and starts at log-on.");
  }
  const RunningService running = FindRunningService();
  if (running.window == nullptr) {
    Say(L"Skyhelm is not running.");
  } else {
    Say(L"Skyhelm is running (process " + std::to_wstring(running.process_id) + L").");
  }
  std::wstring level;
  if (ReadString(kEnvironmentKey, kLogVariable, &level)) {
    Say(L"Log file (level " + level + L"): " + LogFilePath());
  }
  return kExitOk;
}

int Log(const std::wstring& setting) {
  const std::wstring file = LogFilePath();
  if (setting == L"off") {
    const LSTATUS status = RegDeleteKeyValueW(HKEY_CURRENT_USER, kEnvironmentKey, kLogVariable);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
      Complain(L"cannot remove the user variable SKYHELM_LOG: " + ErrorText(static_cast<DWORD>(status)));
      return kExitFailed;
    }
    BroadcastEnvironmentChange();
    Say(L"Skyhelm writes no log file from its next start (log off and on). " + file +
        L" is kept until you delete it.");
    return kExitOk;
  }
  const LSTATUS status =
      RegSetKeyValueW(HKEY_CURRENT_USER, kEnvironmentKey, kLogVariable, REG_SZ, setting.c_str(),
                      static_cast<DWORD>((setting.size() + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS) {
    Complain(L"cannot set the user variable SKYHELM_LOG: " + ErrorText(static_cast<DWORD>(status)));
    return kExitFailed;
  }
  BroadcastEnvironmentChange();
  Say(L"From its next start (log off and on) Skyhelm writes its log (level " + setting +
      L") to " + file + L", at most 1 MB, the previous one kept as skyhelm.log.1. Attach it to a " +
      L"bug report. Turn it off with: skyhelm-ctl log off");
  return kExitOk;
}

// The usage text: on standard output with status 0 when asked for, else on standard error with 2.
int Usage(bool asked = false) {
  Write(asked ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE,
        L"usage: skyhelm-ctl [install] [--folder FOLDER] [--dat FOLDER]\r\n"
        L"       skyhelm-ctl uninstall\r\n"
        L"       skyhelm-ctl status\r\n"
        L"       skyhelm-ctl log 1|2|3|4|off\r\n"
        L"install puts Skyhelm into FOLDER (default: %LOCALAPPDATA%\\Programs\\Skyhelm) with the\r\n"
        L".dat files of the --dat folder (default: this program's folder), starts it at log-on and\r\n"
        L"now. uninstall stops it and removes all of that again. log writes the service's log\r\n"
        L"(1 errors, 3 events, 4 everything) to %LOCALAPPDATA%\\Skyhelm\\skyhelm.log from its next start.\r\n");
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
  RemoveEarlierTemporaryCopies();
  std::vector<std::wstring> args(argv + 1, argv + argc);
  std::wstring command = L"install";
  size_t next = 0;
  if (!args.empty() && args[0].rfind(L"--", 0) != 0) command = args[next++];
  if (command == L"help" || (!args.empty() && (args[0] == L"--help" || args[0] == L"/?"))) {
    return Usage(/*asked=*/true);
  }
  if (command == L"status") return next == args.size() ? Status() : Usage();
  if (command == L"log") {
    if (next + 1 != args.size()) return Usage();
    const std::wstring& setting = args[next];
    const bool level = setting.size() == 1 && setting[0] >= L'1' && setting[0] <= L'4';
    return level || setting == L"off" ? Log(setting) : Usage();
  }
  if (command == L"uninstall") {
    if (next == args.size()) return Uninstall(0);
    // The temporary copy that uninstalls for the copy in the install folder.
    if (next + 2 == args.size() && args[next] == L"--after") {
      const DWORD parent = static_cast<DWORD>(wcstoul(args[next + 1].c_str(), nullptr, 10));
      if (parent != 0) return Uninstall(parent);
    }
    return Usage();
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
}  // namespace setup

int wmain(int argc, wchar_t** argv) {
  const int status = setup::Run(argc, argv);
  if (argc == 1) setup::PauseWhenConsoleIsOwn();
  return status;
}
