// The commands of skyhelm-sim: run (a scenario against the service core in this process) and
// serve (simulated controllers on the socket transport, drawn in the terminal).
#pragma once

#include <string>
#include <vector>

namespace simtool {

int RunScenario(const std::string& file);
int Serve(const std::vector<std::string>& names);

}  // namespace simtool
