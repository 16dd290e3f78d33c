// One scenario run: the simulated driver, the service core's device manager, the run's root and
// executable folders, and the steps of the scenario language.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "autoprofile/service.h"
#include "sim/desktop.h"
#include "sim/in_process.h"
#include "sim/model.h"

namespace sim {
class DriverHost;
}

namespace simtool {

// Paths from and to the UTF-8 text of scenario files. Never through std::string directly: on
// Windows that converts through the ANSI code page, and a name such as "Flüge" would change.
inline std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
inline std::string Utf8Of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// A path word that names a root of its own: "/x" or "\x" (the current drive's root on Windows)
// or "D:x" (relative to the current folder of drive D:). Scenario paths are relative to the
// run's root; such a word would lead out of it.
inline bool RootedPath(const std::string& path) {
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

// Exit statuses of a run.
inline constexpr int kRunOk = 0;
inline constexpr int kRunMalformed = 2;
inline constexpr int kRunTimedOut = 3;

// The service as its own process (on Windows, against the stand-in kernel driver): carries out
// the steps that reach the service through the OS rather than through calls in this process.
class ServiceSide {
 public:
  virtual ~ServiceSide() = default;
  virtual int Attach(const std::string& name, std::string* error) = 0;
  virtual int Detach(const std::string& name, std::string* error) = 0;
  virtual int WriteRegistry(const std::string& key, const std::string& value,
                            const std::string& text, std::string* error) = 0;
  // Where a '/'-separated path relative to the root lies; false when it leaves the root.
  virtual bool Place(const std::string& relative, std::filesystem::path* out) = 0;
  // Returns when the service has finished with the step just played.
  virtual int Settle(std::string* error) = 0;
  // Automatic profiles. Rules writes text as the rules file where the service reads it (null:
  // removes the file) and returns once the service has read it. Foreground brings a window of
  // program with title to the front, starting program when it is not running; StartProgram
  // starts it without bringing it to the front; ExitProgram ends it (its window goes; if it was
  // in front, the desktop comes to the front); Desktop brings the desktop to the front; Title
  // changes the title of the window in front (an error when the desktop is). program
  // is a file name (DCS.exe) or a full path. Each returns when the service is quiet.
  virtual int Rules(const std::string* text, std::string* error) {
    return Unsupported("rules", error);
  }
  virtual int Foreground(const std::string& program, const std::string& title, std::string* error) {
    return Unsupported("foreground", error);
  }
  virtual int StartProgram(const std::string& program, std::string* error) {
    return Unsupported("start", error);
  }
  virtual int ExitProgram(const std::string& program, std::string* error) {
    return Unsupported("exit", error);
  }
  virtual int Desktop(std::string* error) { return Unsupported("desktop", error); }
  // The window in front changes its title to title; its program stays the same.
  virtual int Title(const std::string& title, std::string* error) {
    return Unsupported("title", error);
  }
  // Ends the service and leaves the system as it was; kRunOk or an exit status.
  virtual int Finish(std::string* error) = 0;

  // For the hostile run (skyhelm-sim hostile): the host that serves the stand-in driver, the
  // service's process handle (null until it runs), and a controller's device put in or taken
  // out at once, without waiting for the service.
  virtual sim::DriverHost* Host() { return nullptr; }
  virtual void* ServiceProcessHandle() { return nullptr; }
  virtual int Plug(const std::string& name, bool present, std::string* error) {
    return *error = "no devices to plug", kRunTimedOut;
  }

 protected:
  static int Unsupported(const char* step, std::string* error) {
    *error = std::string("the step ") + step + " is not supported against the service process";
    return kRunMalformed;
  }
};

class Scenario {
 public:
  // root: the run's $SKYHELM_ROOT; executable_folder: where the .dat files are read from.
  Scenario(std::string root, std::string executable_folder, std::FILE* trace);
  ~Scenario();  // detaches what is still attached

  // Runs one step; kRunOk or an exit status, with *error saying why.
  int Step(const std::vector<std::string>& words, std::string* error);
  // Writes the trace records made since the last call.
  void FlushTrace();
  // Steps that reach the service go to side instead of this process (null: this process).
  void SetServiceSide(ServiceSide* side);
  sim::DriverModel& model() { return model_; }

 private:
  int Declare(const std::vector<std::string>& words, std::string* error);
  int Attach(const std::string& name, std::string* error);
  int Detach(const std::string& name, std::string* error);
  int Clutch(const std::string& name, uint16_t engaged, uint16_t type, std::string* error);
  int Event(const std::vector<std::string>& words, std::string* error);
  int Fault(const std::vector<std::string>& words, std::string* error);
  int Defer(const std::vector<std::string>& words, std::string* error);
  int Files(const std::vector<std::string>& words, std::string* error);
  int Programs(const std::vector<std::string>& words, std::string* error);
  int Rules(const std::string* text, std::string* error);
  bool Known(const std::string& name) const;
  bool Locate(const std::string& relative, std::filesystem::path* out);

  std::string root_;
  std::string executable_folder_;
  std::FILE* trace_;
  sim::DriverModel model_;
  sim::InProcessTransport transport_;
  std::vector<std::string> declared_;
  ServiceSide* side_ = nullptr;
  // In-process runs: the simulated desktop and the automatic profiles that watch it.
  sim::SimDesktop desktop_;
  autoprofile::Service autoprofile_;
};

// The service side of a run against the real service process, in work (the run's folder, with
// root/ and bin/ holding the service and its .dat files); null where there is none (Linux).
// The service starts before the first controller arrives, or with start_late once it is
// present (so that it is found at start).
std::unique_ptr<ServiceSide> MakeServiceProcess(sim::DriverModel& model,
                                                const std::filesystem::path& work,
                                                bool start_late);
// Puts back what a run that was killed changed (its journal: service, registry values, files),
// then removes every device of the stand-in driver left behind; how many devices it removed.
int RemoveStandInDevices();

// A fresh run root with the empty folders documents/, windows/ and registry/.
bool MakeRoot(const std::filesystem::path& root);
// Windows: bin gets a copy of skyhelm.exe and the shipped .dat files from beside this program.
bool PrepareServiceFolder(const std::filesystem::path& bin);

}  // namespace simtool
