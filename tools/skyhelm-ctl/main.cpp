// skyhelm-ctl: what the installer package cannot tell or set. Shows where Skyhelm is installed
// for this user, its version, whether it starts at log-on (and whether Task Manager disabled
// that), whether it runs and whether it writes a log file; turns its log file on and off.
//
//   skyhelm-ctl [status]
//   skyhelm-ctl log 1|2|3|4|off
//
// The exit status is 0 on success, 1 on failure and 2 for bad usage.
#include <windows.h>

#include <string>
#include <vector>

#include "console.h"
#include "folders.h"
#include "registry_values.h"
#include "running_service.h"
#include "version_info.h"

#ifndef SKYHELM_VERSION
#define SKYHELM_VERSION "0"
#endif

namespace ctl {
namespace {

constexpr wchar_t kServiceName[] = L"skyhelm.exe";

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::wstring Widen(const char* text) { return std::wstring(text, text + strlen(text)); }

// Where the service is installed: the folder the package recorded, else the folder of the
// program the log-on start runs (an install from before the package, or one whose value was
// lost). Empty when neither names one.
std::wstring InstallFolder() {
  std::wstring folder;
  if (ReadString(kInstallKey, kInstallFolderValue, &folder)) {
    while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    if (!folder.empty()) return folder;
  }
  std::wstring service;
  return ServicePathOfRunValue(RunValueText(), &service) ? ParentFolder(service) : std::wstring();
}

int Status() {
  const std::wstring folder = InstallFolder();
  if (folder.empty()) {
    Say(L"Skyhelm is not installed for this user.");
  } else if (const std::wstring service = Join(folder, kServiceName); !IsFile(service)) {
    Say(L"Skyhelm is recorded as installed in " + folder + L", but " + service +
        L" is missing: install the package again.");
  } else {
    const std::wstring version = ProgramVersion(service);
    Say(L"Skyhelm " + (version.empty() ? std::wstring(L"(version unknown)") : version) +
        L" is installed in " + folder + L".");
  }

  const std::wstring run_value = RunValueText();
  std::wstring run_service;
  if (run_value.empty()) {
    if (!folder.empty()) Say(L"It does not start at log-on: install the package again to have it do so.");
  } else if (!ServicePathOfRunValue(run_value, &run_service)) {
    Say(L"The log-on start (HKCU\\" + std::wstring(kRunKey) + L", value " + kValueName + L") holds \"" +
        run_value + L"\", which is not the path of a skyhelm.exe.");
  } else {
    if (!folder.empty() && !SameText(ParentFolder(run_service), folder)) {
      Say(L"The log-on start runs " + run_service + L", which is not the installed one.");
    }
    if (StartupDisabled()) {
      Say(L"Its start at log-on is disabled in Task Manager (Startup apps): enable it there to "
          L"have it start when you log on.");
    } else {
      Say(L"It starts at log-on.");
    }
  }

  const RunningService running = FindRunningService();
  if (running.window == nullptr) {
    Say(L"Skyhelm is not running.");
  } else {
    Say(L"Skyhelm is running (process " + std::to_wstring(running.process_id) +
        (running.program.empty() ? std::wstring() : L", " + running.program) + L").");
  }

  std::wstring level;
  if (ReadString(kEnvironmentKey, kLogVariable, &level)) {
    Say(L"Log file (level " + level + L"): " + LogFilePath());
  } else {
    Say(L"No log file is written (skyhelm-ctl log 3 turns it on).");
  }
  return kExitOk;
}

int Log(const std::wstring& setting) {
  const std::wstring file = LogFilePath();
  const bool off = setting == L"off";
  if (const LSTATUS status = SetLogVariable(off ? std::wstring() : setting); status != ERROR_SUCCESS) {
    Complain(std::wstring(off ? L"cannot remove" : L"cannot set") + L" the user variable SKYHELM_LOG: " +
             ErrorText(static_cast<DWORD>(status)));
    return kExitFailed;
  }
  if (off) {
    Say(L"Skyhelm writes no log file from its next start (log off and on). " + file +
        L" is kept until you delete it.");
  } else {
    Say(L"From its next start (log off and on) Skyhelm writes its log (level " + setting +
        L") to " + file + L", at most 1 MB, the previous one kept as skyhelm.log.1. Attach it to a " +
        L"bug report. Turn it off with: skyhelm-ctl log off");
  }
  return kExitOk;
}

// The usage text: on standard output with status 0 when asked for, else on standard error with 2.
int Usage(bool asked = false) {
  Write(asked ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE,
        L"usage: skyhelm-ctl [status]\r\n"
        L"       skyhelm-ctl log 1|2|3|4|off\r\n"
        L"status tells where Skyhelm is installed for you, its version, whether it starts at log-on\r\n"
        L"and whether it runs. log writes the service's log (1 errors, 3 events, 4 everything) to\r\n"
        L"%LOCALAPPDATA%\\Skyhelm\\skyhelm.log from its next start, or no log with off.\r\n"
        L"Install, update and remove Skyhelm with its .msi package (Settings > Apps removes it).\r\n"
        L"skyhelm-ctl " + Widen(SKYHELM_VERSION) + L"\r\n");
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

int Run(const std::vector<std::wstring>& args) {
  if (args.empty() || (args.size() == 1 && args[0] == L"status")) return Status();
  if (args[0] == L"help" || args[0] == L"--help" || args[0] == L"/?") return Usage(/*asked=*/true);
  if (args[0] == L"log" && args.size() == 2) {
    const std::wstring& setting = args[1];
    const bool level = setting.size() == 1 && setting[0] >= L'1' && setting[0] <= L'4';
    if (level || setting == L"off") return Log(setting);
  }
  return Usage();
}

}  // namespace
}  // namespace ctl

int wmain(int argc, wchar_t** argv) {
  const int status = ctl::Run(std::vector<std::wstring>(argv + 1, argv + argc));
  if (argc == 1) ctl::PauseWhenConsoleIsOwn();
  return status;
}
