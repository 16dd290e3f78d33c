// Test fixture: one simulated controller served in-process, the log captured, and helpers to
// read the simulated driver's trace.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/control_codes.h"
#include "sim/in_process.h"
#include "sim/model.h"
#include "tests/session/log_capture.h"

inline constexpr uint32_t kDeadlineMs = 10000;
inline constexpr char kDevice[] = "dev";

// Polls condition until it holds or the deadline passes.
inline bool Eventually(const std::function<bool()>& condition, uint32_t timeout_ms = kDeadlineMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class SimTest : public ::testing::Test {
 protected:
  SimTest() : transport_(model_) {}

  void SetUp() override { ASSERT_TRUE(model_.Declare(kDevice, Config()) && model_.Attach(kDevice)); }

  // The controller's configuration; a test fixture may change it.
  virtual sim::ControllerConfig Config() const { return {}; }

  std::u16string Path() const { return sim::DriverModel::InterfacePath(kDevice); }

  // Trace records of code, optionally only those with the given "state".
  std::vector<std::string> Records(uint32_t code, const std::string& state = "") const {
    const std::string code_field = std::string("\"code\":\"") + ControlCodeName(code) + "\"";
    std::vector<std::string> found;
    for (const std::string& line : model_.Trace()) {
      if (line.find(code_field) == std::string::npos) continue;
      if (!state.empty() && line.find("\"state\":\"" + state + "\"") == std::string::npos) {
        continue;
      }
      found.push_back(line);
    }
    return found;
  }

  // The "in" bytes of a trace record, as upper- or lower-case hexadecimal as the trace has it.
  static std::string InputHex(const std::string& record) {
    const std::string key = "\"in\":\"";
    const size_t start = record.find(key);
    if (start == std::string::npos) return "";
    const size_t end = record.find('"', start + key.size());
    std::string hex = record.substr(start + key.size(), end - start - key.size());
    for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex;
  }

  sim::DriverModel model_;
  sim::InProcessTransport transport_;
  LogCapture log_;
};
