// libFuzzer target: any document loaded as the service loads it, once as an output configuration
// (output vocabulary, the output tables) and once as a profile (profile vocabulary, the profile
// summary with its controller search and shift selectors), through the public loading calls.
//
// Input: one selector byte, then the document file. The selector picks the device ids the summary
// is asked for (bit 0: the simulated member GUID, bit 1: the simulated controller GUID) and adds
// shift-button usages (bits 2 to 7: usages 1 to 6) to those of the output tables.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "display/profile_summary.h"
#include "output/output_tables.h"
#include "platform/guid.h"

namespace {

// The input is handed to the loaders as a file: one in-memory file rewritten for every input.
int g_file = -1;
std::u16string g_path;

const platform::Guid kMember{0x4A7D2E91, 0x3B6C, 0x4F80, {0xA1, 0xD5, 0x9E, 0x8C, 0x7B, 0x6A, 0x5F, 0x40}};
const platform::Guid kController{0xC3E1F5A7, 0x9B2D, 0x4E6F, {0x8A, 0x0C, 0x1B, 0x3D, 0x5F, 0x7E, 0x9A, 0x2C}};

bool WriteInput(const uint8_t* data, size_t size) {
  if (ftruncate(g_file, 0) != 0) return false;
  size_t at = 0;
  while (at < size) {
    const ssize_t put = pwrite(g_file, data + at, size - at, static_cast<off_t>(at));
    if (put <= 0) return false;
    at += static_cast<size_t>(put);
  }
  return true;
}

void CheckTables(const OutputTables& tables) {
  for (const auto& [id, led] : tables.leds) {
    if (led.id != id) __builtin_trap();
  }
  for (const auto& [id, string] : tables.strings) {
    if (string.id != id) __builtin_trap();
  }
  for (const auto& [usage, same] : tables.shift_buttons) {
    if (usage != same) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_file = memfd_create("skyhelm-fuzz-document", 0);
  if (g_file < 0) std::abort();
  const std::string path = "/proc/self/fd/" + std::to_string(g_file);
  g_path.assign(path.begin(), path.end());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  if (!WriteInput(data + 1, size - 1)) std::abort();

  // As a session loads its controller's output configuration.
  OutputTables tables;
  const VexNode::LoadStatus output_status = LoadOutputConfigurationFile(&tables, g_path);
  if (output_status == VexNode::LoadStatus::kCannotOpen) std::abort();
  if (output_status != VexNode::LoadStatus::kLoaded && !tables.leds.empty()) __builtin_trap();
  CheckTables(tables);

  // As the display state reads the active profile's summary with those shift buttons.
  ShiftButtonSet shift_buttons = tables.shift_buttons;
  for (uint32_t usage = 1; usage <= 6; ++usage) {
    if (selector & (1u << (usage + 1))) shift_buttons[usage] = usage;
  }
  ProfileSummary summary;
  const SummaryOutcome outcome = ReadProfileSummary(
      g_path, shift_buttons,
      [selector](platform::Guid* member, platform::Guid* controller) {
        if (selector & 1) *member = kMember;
        if (selector & 2) *controller = kController;
      },
      &summary);
  if (outcome == SummaryOutcome::kNotOpened) std::abort();
  // Every shift named has its default flag, and every selector is a button of some shift.
  if (summary.shift_names.size() != summary.default_shifts.size()) __builtin_trap();
  for (const IgnoredCommand& ignored : summary.command_ignore) {
    if (ignored.kind != 3) __builtin_trap();
  }
  return 0;
}
