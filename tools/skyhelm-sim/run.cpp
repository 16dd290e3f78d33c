// skyhelm-sim run: plays a scenario against the service core in this process, in a fresh root
// folder and a fresh executable folder, and prints the simulated driver's trace.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commands.h"
#include "log/log.h"
#include "scenario.h"
#include "sim/scenario_words.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace simtool {
namespace {

namespace fs = std::filesystem;

// Set in the process that plays the scenario: the run's root folder.
constexpr char kRunRootVariable[] = "SKYHELM_SIM_RUN_ROOT";

int Play(const std::string& file, const std::string& root, const std::string& executable_folder) {
  std::ifstream in(file);
  if (!in) {
    std::fprintf(stderr, "skyhelm-sim run: cannot read %s\n", file.c_str());
    return kRunMalformed;
  }
  InstallLogReceiverFromEnvironment();
  Scenario scenario(root, executable_folder, stdout);
  std::string line;
  std::vector<std::string> words;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string error;
    int status = kRunOk;
    if (!sim::SplitScenarioLine(line, root, &words, &error)) {
      status = kRunMalformed;
    } else if (!words.empty()) {
      status = scenario.Step(words, &error);
    }
    scenario.FlushTrace();
    if (status != kRunOk) {
      std::fprintf(stderr, "%s:%d: %s\n", file.c_str(), number, error.c_str());
      return status;
    }
  }
  return kRunOk;
}

// A fresh root with the empty folders documents/, windows/ and registry/.
bool MakeRoot(const fs::path& root) {
  std::error_code failed;
  for (const char* folder : {"documents", "windows", "registry"}) {
    fs::create_directories(root / folder, failed);
  }
  return !failed;
}

}  // namespace

#ifdef _WIN32

int RunScenario(const std::string& file) {
  const fs::path work = fs::temp_directory_path() / ("skyhelm-run-" + std::to_string(std::rand()));
  if (!MakeRoot(work / "root")) return kRunMalformed;
  _putenv_s("SKYHELM_ROOT", (work / "root").string().c_str());
  const int status = Play(file, (work / "root").string(), fs::current_path().string());
  std::error_code ignored;
  fs::remove_all(work, ignored);
  return status;
}

#else

// The scenario plays in a copy of this program in a temporary folder beside the shipped .dat
// files, so that the service core reads (and "dat" steps write) that folder as its executable
// folder.
int RunScenario(const std::string& file) {
  if (const char* root = std::getenv(kRunRootVariable); root != nullptr) {
    return Play(file, root, fs::read_symlink("/proc/self/exe").parent_path().string());
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
