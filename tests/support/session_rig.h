// Test rig for sessions, display states and clutches: a simulated controller served in-process,
// a fresh root folder ($SKYHELM_ROOT on Linux) with a profile folder registered for the
// controller's member GUID, and the controller's output configuration beside the executable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "driver/control_codes.h"
#include "platform/folders.h"
#include "platform/guid.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "sim/in_process.h"
#include "sim/model.h"
#include "support/test_environment.h"

namespace rig {

namespace fs = std::filesystem;

inline std::string Narrow(std::u16string_view text) { return platform::ToUtf8(text); }

// Writes text (UTF-8 source) as a UTF-16LE document with byte order mark, parents created.
inline void WriteDocument(const fs::path& file, std::string_view text) {
  fs::create_directories(file.parent_path());
  const std::u16string units = platform::FromUtf8(text);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.put(static_cast<char>(0xFF));
  out.put(static_cast<char>(0xFE));
  for (char16_t unit : units) {
    out.put(static_cast<char>(unit & 0xFF));
    out.put(static_cast<char>(unit >> 8));
  }
}

inline void WriteFile(const fs::path& file, std::string_view bytes = "") {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// The executable's directory, where output configurations are looked for.
inline fs::path ExecutableDirectory() {
  std::u16string exe;
  platform::ExecutablePath(&exe);
  return fs::path(exe).parent_path();
}

// Three display strings of 16 characters (clear commands 0x100, 0x110, 0x120) and the shift
// button of HID usage 6.
inline constexpr std::string_view kOutputConfiguration =
    "[device\n"
    "  [outputlist\n"
    "    [stringcaps=0 maxlength=16 setcommand=0x0101 clearcommand=0x0100 marqueetime=250]\n"
    "    [stringcaps=1 maxlength=16 setcommand=0x0111 clearcommand=0x0110 marqueetime=250]\n"
    "    [stringcaps=2 maxlength=16 setcommand=0x0121 clearcommand=0x0120 marqueetime=250]\n"
    "    [shiftbutton=6]\n"
    "  ]\n"
    "]\n";

inline constexpr uint16_t kShiftClear = 0x100;
inline constexpr uint16_t kCommandClear = 0x110;
inline constexpr uint16_t kProfileClear = 0x120;

// Device type, member and controller GUIDs of one rig: unique per test program (first field)
// and per rig within it (last byte), so that programs running side by side share no
// configuration file or registry value.
inline platform::Guid RigGuid(uint32_t program, uint16_t role, uint8_t serial) {
  return platform::Guid{program, role, 0x4E1D, {0x8A, 0x11, 0x20, 0x26, 0, 0, 0, serial}};
}

class SimRig {
 public:
  // program: a number of the test program's own. with_configuration: write the output
  // configuration of the device type beside the executable.
  explicit SimRig(uint32_t program, bool with_configuration = true)
      : root_(test_env::FreshRoot()), transport_(model_) {
    static uint8_t serial = 0;
    ++serial;
    config_.device_type = RigGuid(program, 0x0001, serial);
    config_.member = RigGuid(program, 0x0002, serial);
    config_.controller = RigGuid(program, 0x0003, serial);
    profiles_ = root_ / "profiles";
    fs::create_directories(profiles_);
    test_env::WriteMachineString(u"Software\\Corvane\\ProfileDirectories",
                                 u"{" + platform::FormatGuid(config_.member) + u"}",
                                 profiles_.u16string());
    if (with_configuration) {
      configuration_ = ExecutableDirectory() /
                       (Narrow(platform::FormatGuid(config_.device_type)) + ".dat");
      WriteDocument(configuration_, kOutputConfiguration);
    }
    model_.Declare("pad", config_);
    model_.Attach("pad");
    model_.SetTraceRoot(root_.u16string());
  }

  ~SimRig() {
    std::error_code ignored;
    if (!configuration_.empty()) fs::remove(configuration_, ignored);
    test_env::RemoveMachineString(u"Software\\Corvane\\ProfileDirectories",
                                  u"{" + platform::FormatGuid(config_.member) + u"}");
    fs::remove_all(root_, ignored);
  }

  sim::DriverModel& model() { return model_; }
  const sim::ControllerConfig& config() const { return config_; }
  std::u16string path() const { return sim::DriverModel::InterfacePath("pad"); }
  const fs::path& root() const { return root_; }
  // The registered profile root folder of the controller.
  const fs::path& profiles() const { return profiles_; }

  sim::ControllerState State() {
    sim::ControllerState state;
    model_.State("pad", &state);
    return state;
  }

  // Trace records whose code is code (a name such as "IOCTL_SET_CLUTCH_TEXT").
  std::vector<std::string> Records(std::string_view code) {
    std::vector<std::string> found;
    const std::string key = "\"code\":\"" + std::string(code) + "\"";
    for (const std::string& line : model_.Trace()) {
      if (line.find(key) != std::string::npos) found.push_back(line);
    }
    return found;
  }

  uint64_t Issued(uint32_t code) { return model_.IssuedCount("pad", code); }

 private:
  fs::path root_;
  fs::path profiles_;
  fs::path configuration_;
  sim::ControllerConfig config_;
  sim::DriverModel model_;
  sim::InProcessTransport transport_;
};

// A JSON field "name":value or "name":"value" of a trace record, as written; empty if absent.
inline std::string Field(const std::string& record, std::string_view name) {
  const std::string key = "\"" + std::string(name) + "\":";
  size_t at = record.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  size_t end = at;
  if (record[at] == '"') {
    for (end = at + 1; end < record.size() && record[end] != '"'; ++end) {
      if (record[end] == '\\') ++end;
    }
    return record.substr(at + 1, end - at - 1);
  }
  while (end < record.size() && record[end] != ',' && record[end] != '}') ++end;
  return record.substr(at, end - at);
}

// The text fields of the records of code, in order.
inline std::vector<std::string> Texts(SimRig& sim, std::string_view code, std::string_view field) {
  std::vector<std::string> texts;
  for (const std::string& record : sim.Records(code)) texts.push_back(Field(record, field));
  return texts;
}

}  // namespace rig
