// One scenario run: the simulated driver, the service core's device manager, the run's root and
// executable folders, and the steps of the scenario language.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "sim/in_process.h"
#include "sim/model.h"

namespace simtool {

// Exit statuses of a run.
inline constexpr int kRunOk = 0;
inline constexpr int kRunMalformed = 2;
inline constexpr int kRunTimedOut = 3;

class Scenario {
 public:
  // root: the run's $SKYHELM_ROOT; executable_folder: where the .dat files are read from.
  Scenario(std::string root, std::string executable_folder, std::FILE* trace);
  ~Scenario();  // detaches what is still attached

  // Runs one step; kRunOk or an exit status, with *error saying why.
  int Step(const std::vector<std::string>& words, std::string* error);
  // Writes the trace records made since the last call.
  void FlushTrace();

 private:
  int Declare(const std::vector<std::string>& words, std::string* error);
  int Attach(const std::string& name);
  int Detach(const std::string& name);
  int Clutch(const std::string& name, uint16_t engaged, uint16_t type, std::string* error);
  int Event(const std::vector<std::string>& words, std::string* error);
  int Fault(const std::vector<std::string>& words, std::string* error);
  int Files(const std::vector<std::string>& words, std::string* error);
  bool Known(const std::string& name) const;

  std::string root_;
  std::string executable_folder_;
  std::FILE* trace_;
  sim::DriverModel model_;
  sim::InProcessTransport transport_;
  std::vector<std::string> declared_;
};

}  // namespace simtool
