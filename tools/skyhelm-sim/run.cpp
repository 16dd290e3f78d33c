// skyhelm-sim run: plays a scenario against the service core in this process, in a fresh root
// folder and a fresh executable folder, and prints the simulated driver's trace.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "log/log.h"
#include "scenario.h"
#include "sim/scenario_words.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace simtool {
namespace {

namespace fs = std::filesystem;

// Set in the process that plays the scenario: the run's root folder.
constexpr char kRunRootVariable[] = "SKYHELM_SIM_RUN_ROOT";

// Plays file; with side_work, against the real service process of that run folder.
int Play(const std::string& file, const std::string& root, const std::string& executable_folder,
         const fs::path* side_work, bool start_late = false) {
  std::ifstream in(file);
  if (!in) {
    std::fprintf(stderr, "skyhelm-sim run: cannot read %s\n", file.c_str());
    return kRunMalformed;
  }
  InstallLogReceiverFromEnvironment();
  Scenario scenario(root, executable_folder, stdout);
  std::unique_ptr<ServiceSide> side;
  if (side_work != nullptr) {
    side = MakeServiceProcess(scenario.model(), *side_work, start_late);
    if (side == nullptr) return kRunTimedOut;
    scenario.SetServiceSide(side.get());
  }
  std::string line;
  std::vector<std::string> words;
  int status = kRunOk;
  for (int number = 1; status == kRunOk && std::getline(in, line); ++number) {
    std::string error;
    if (!sim::SplitScenarioLine(line, root, &words, &error)) {
      status = kRunMalformed;
    } else if (!words.empty()) {
      status = scenario.Step(words, &error);
    }
    scenario.FlushTrace();
    if (status != kRunOk) std::fprintf(stderr, "%s:%d: %s\n", file.c_str(), number, error.c_str());
  }
  if (side != nullptr) {
    std::string error;
    const int finished = side->Finish(&error);
    if (finished != kRunOk) std::fprintf(stderr, "%s: %s\n", file.c_str(), error.c_str());
    if (status == kRunOk) status = finished;
  }
  return status;
}

}  // namespace

bool MakeRoot(const fs::path& root) {
  std::error_code failed;
  for (const char* folder : {"documents", "windows", "registry"}) {
    fs::create_directories(root / folder, failed);
  }
  return !failed;
}

#ifdef _WIN32

bool PrepareServiceFolder(const fs::path& bin) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const fs::path programs = fs::path(self).parent_path();
  std::error_code failed;
  fs::create_directories(bin, failed);
  fs::copy_file(programs / "skyhelm.exe", bin / "skyhelm.exe", failed);
  for (const fs::directory_entry& entry : fs::directory_iterator(programs, failed)) {
    if (entry.path().extension() == ".dat") {
      fs::copy_file(entry.path(), bin / entry.path().filename(), failed);
    }
  }
  return !failed;
}

// A fresh run folder under the temporary folder. In-process, the scenario plays against the
// service core here; otherwise against the real service, copied with the shipped .dat files
// into the run's bin/ folder and started from there.
int RunScenario(const std::string& file, RunMode mode) {
  const bool in_process = mode == RunMode::kInProcess;
  const fs::path work = fs::temp_directory_path() /
                        ("skyhelm-run-" + std::to_string(GetCurrentProcessId()) + "-" +
                         std::to_string(GetTickCount()));
  if (!MakeRoot(work / "root")) return kRunMalformed;
  const std::string root = Utf8Of(work / "root");
  int status = kRunMalformed;
  if (in_process) {
    _putenv_s("SKYHELM_ROOT", root.c_str());
    // The rules file of automatic profiles lies in the run's own %APPDATA%, inside the root as
    // on Linux, so that steps reach it as config/skyhelm/rules.toml.
    _putenv_s("APPDATA", Utf8Of(work / "root" / "config").c_str());
    _putenv_s("SKYHELM_RULES", "");
    status = Play(file, root, Utf8Of(fs::current_path()), nullptr);
  } else {
    if (!PrepareServiceFolder(work / "bin")) {
      std::fprintf(stderr, "skyhelm-sim run: cannot prepare %s\n", Utf8Of(work / "bin").c_str());
    } else {
      status = Play(file, root, Utf8Of(work / "bin"), &work, mode == RunMode::kServiceStartsLate);
    }
  }
  std::error_code ignored;
  fs::remove_all(work, ignored);
  return status;
}

#else

// The scenario plays in a copy of this program in a temporary folder beside the shipped .dat
// files, so that the service core reads (and "dat" steps write) that folder as its executable
// folder.
int RunScenario(const std::string& file, RunMode /*always in-process on Linux*/) {
  if (const char* root = std::getenv(kRunRootVariable); root != nullptr) {
    return Play(file, root, fs::read_symlink("/proc/self/exe").parent_path().string(), nullptr);
  }
  char pattern[] = "/tmp/skyhelm-run-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return kRunMalformed;
  const fs::path work = pattern;
  const fs::path self = fs::read_symlink("/proc/self/exe");
  std::error_code failed;
  fs::create_directories(work / "bin", failed);
  fs::copy_file(self, work / "bin" / "skyhelm-sim", failed);
  for (const fs::directory_entry& entry : fs::directory_iterator(self.parent_path(), failed)) {
    if (entry.path().extension() == ".dat") {
      fs::copy_file(entry.path(), work / "bin" / entry.path().filename(), failed);
    }
  }
  int status = kRunMalformed;
  if (!failed && MakeRoot(work / "root")) {
    const std::string root = (work / "root").string();
    const std::string program = (work / "bin" / "skyhelm-sim").string();
    const std::string scenario = fs::absolute(file).string();
    const pid_t child = fork();
    if (child == 0) {
      setenv(kRunRootVariable, root.c_str(), 1);
      setenv("SKYHELM_ROOT", root.c_str(), 1);
      // The rules file of automatic profiles lies in the run's root: config/skyhelm/rules.toml.
      setenv("XDG_CONFIG_HOME", (work / "root" / "config").c_str(), 1);
      unsetenv("SKYHELM_RULES");
      execl(program.c_str(), program.c_str(), "run", scenario.c_str(), static_cast<char*>(nullptr));
      _exit(kRunMalformed);
    }
    int wait_status = 0;
    if (child > 0 && waitpid(child, &wait_status, 0) == child && WIFEXITED(wait_status)) {
      status = WEXITSTATUS(wait_status);
    }
  }
  fs::remove_all(work, failed);
  return status;
}

#endif

}  // namespace simtool
