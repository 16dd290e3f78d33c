// The summary of a profile that the display needs: the profile's name and the names of its
// commands, of the device's controls and shift states, which shift states are default ones, and
// which button events select a shift rather than trigger a command.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/guid.h"

namespace VexNode {
class CNode;
}

// A command event of this control kind and control number is not shown.
struct IgnoredCommand {
  uint32_t kind = 0;
  uint32_t control = 0;
  friend bool operator==(const IgnoredCommand&, const IgnoredCommand&) = default;
};

struct ProfileSummary {
  std::u16string profile_name = u"No Profile";
  std::map<platform::Guid, std::u16string> shift_names;
  std::map<platform::Guid, bool> default_shifts;
  std::map<platform::Guid, std::u16string> command_names;
  std::map<uint32_t, std::u16string> control_names;
  std::vector<IgnoredCommand> command_ignore;
};

// The HID usages of the device's shift buttons.
using ShiftButtonSet = std::map<uint32_t, uint32_t>;

// Asked, after the document has been read, for the member and controller GUIDs of the device
// whose controller the summary describes. Both start all zero.
using DeviceIdQuery = std::function<void(platform::Guid* member, platform::Guid* controller)>;

enum class SummaryOutcome { kNotOpened, kNotRead, kRead };

// Resets *summary, then reads the profile at path and fills it. Writes the summary's log lines;
// a file that cannot be opened (an empty path among them) is reported on standard error.
SummaryOutcome ReadProfileSummary(const std::u16string& path, const ShiftButtonSet& shift_buttons,
                                  const DeviceIdQuery& device_ids, ProfileSummary* summary);

// The pieces of the summary, over a loaded profile tree.
void ReadControlNames(const VexNode::CNode& node, ProfileSummary* summary);
bool IsDefaultShift(const VexNode::CNode& shift, const ShiftButtonSet& shift_buttons);
void AddShiftSelectors(const VexNode::CNode& shift, ProfileSummary* summary);
