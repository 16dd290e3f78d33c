// The commands of skyhelm-sim: run (a scenario against the service core in this process) and
// serve (simulated controllers on the socket transport, drawn in the terminal).
#pragma once

#include <string>
#include <vector>

namespace simtool {

// On Windows the scenario plays against the real service process unless in_process; on Linux
// always against the service core in a child process.
int RunScenario(const std::string& file, bool in_process);
int Serve(const std::vector<std::string>& names);

}  // namespace simtool
