// The commands of skyhelm-sim: run (a scenario against the service core in this process) and
// serve (simulated controllers on the socket transport, drawn in the terminal).
#pragma once

#include <string>
#include <vector>

namespace simtool {

// On Windows the scenario plays against the real service process (started before the first
// controller arrives, or once it is present), or in this process; on Linux always against the
// service core in a child process.
enum class RunMode { kServiceProcess, kServiceStartsLate, kInProcess };
int RunScenario(const std::string& file, RunMode mode);
int Serve(const std::vector<std::string>& names);
// Windows: the real service against a hostile stand-in driver; args are the words after
// "hostile" (--seed N, --seconds S, --controllers K). 0 when the service came through.
int RunHostile(const std::vector<std::string>& args);

}  // namespace simtool
