// skyhelm-sim: the simulated controller driver. "run FILE" plays a scenario, "serve" publishes
// simulated controllers for a running skyhelm.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "scenario.h"

namespace {

int Usage() {
  std::fputs(
      "usage: skyhelm-sim run [--in-process | --start-late] SCENARIO\n"
      "       skyhelm-sim clean   (Windows: undoes what a killed run changed, removes the\n"
      "                            stand-in driver's devices)\n"
      "       skyhelm-sim hostile [--seed N] [--seconds S] [--controllers K]   (Windows)\n"
      "       skyhelm-sim serve [--controllers N | NAME...]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "run") {
    return simtool::RunScenario(args[1], simtool::RunMode::kServiceProcess);
  }
  if (args.size() == 3 && args[0] == "run" && args[1] == "--in-process") {
    return simtool::RunScenario(args[2], simtool::RunMode::kInProcess);
  }
  if (args.size() == 3 && args[0] == "run" && args[1] == "--start-late") {
    return simtool::RunScenario(args[2], simtool::RunMode::kServiceStartsLate);
  }
  if (args.size() == 1 && args[0] == "clean") {
    std::printf("removed %d\n", simtool::RemoveStandInDevices());
    return 0;
  }
  if (!args.empty() && args[0] == "hostile") {
    const int status = simtool::RunHostile({args.begin() + 1, args.end()});
    return status == 2 ? Usage() : status;
  }
  if (args.empty() || args[0] != "serve") return Usage();
  std::vector<std::string> names;
  if (args.size() == 3 && args[1] == "--controllers") {
    const int count = std::atoi(args[2].c_str());
    if (count < 1 || count > 9) return Usage();
    for (int i = 1; i <= count; ++i) names.push_back("PAD" + std::to_string(i));
  } else {
    names.assign(args.begin() + 1, args.end());
  }
  if (names.empty()) names = {"PAD1", "PAD2"};
  return simtool::Serve(names);
}
