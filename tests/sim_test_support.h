// Shared by the test programs that run against the simulated driver: a model with its in-process
// transport, trace helpers, and the Linux registry stand-in under a temporary root.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/text.h"
#include "sim/in_process.h"
#include "sim/model.h"

namespace sim_test {

inline constexpr uint32_t kDeadlineMs = 10000;

#ifdef _WIN32
// Windows reads the real registry and SetupAPI: there is no stand-in to write to.
inline constexpr bool kHasRegistryStandIn = false;
inline void SetEnvironment(const char* name, const char* value) { _putenv_s(name, value); }
#else
inline constexpr bool kHasRegistryStandIn = true;
inline void SetEnvironment(const char* name, const char* value) { setenv(name, value, 1); }
#endif

// A simulated driver serving the in-process paths for the life of the fixture.
class SimulatedDriver : public testing::Test {
 protected:
  sim::DriverModel model_;
  sim::InProcessTransport transport_{model_};

  // A declared and attached controller; returns its interface path.
  std::u16string AddController(const std::string& name, const sim::ControllerConfig& config = {}) {
    EXPECT_TRUE(model_.Declare(name, config));
    EXPECT_TRUE(model_.Attach(name));
    return sim::DriverModel::InterfacePath(name);
  }
  // Trace lines whose "code" is code.
  std::vector<std::string> TraceOf(const std::string& code) const {
    std::vector<std::string> lines;
    for (const std::string& line : model_.Trace()) {
      if (line.find("\"code\":\"" + code + "\"") != std::string::npos) lines.push_back(line);
    }
    return lines;
  }
  // The trace without its "seq" fields, which depend on everything before.
  static std::string WithoutSeq(std::string line) {
    size_t end = line.find(',');
    return end == std::string::npos ? line : "{" + line.substr(end + 1);
  }
};

// A fresh $SKYHELM_ROOT with a registry stand-in, removed afterwards. One per test program (see
// SharedRoot): the seam may read the variable once.
class TemporaryRoot {
 public:
  TemporaryRoot() {
    path_ = std::filesystem::temp_directory_path() /
            ("skyhelm-test-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(path_);
    SetEnvironment("SKYHELM_ROOT", path_.string().c_str());
  }
  ~TemporaryRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  // Writes a registry string value below HKEY_LOCAL_MACHINE (key with '\' separators).
  void WriteRegistry(const std::string& key, const std::string& value, const std::string& text) {
    std::string relative = "registry/HKLM/" + key;
    for (char& c : relative) {
      if (c == '\\') c = '/';
    }
    std::filesystem::path folder = path_ / relative;
    std::filesystem::create_directories(folder);
    std::ofstream(folder / value, std::ios::binary) << text;
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline TemporaryRoot& SharedRoot() {
  static TemporaryRoot root;
  return root;
}

}  // namespace sim_test
