// The profile summary: reads a profile document and keeps the names and flags the display uses.
#include "display/profile_summary.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "document/node_reader.h"
#include "log/log.h"
#include "profile/profile_nodes.h"

namespace profile = VexNode::profile;
using VexNode::CNode;

namespace {

bool Is(const CNode* node, const char16_t* tag) { return node->GetTagName() == tag; }

// Calls visit with every buttonhid of the shift's selection sets, walking exactly the three
// levels selectionset > buttoncombo > buttonhid in document order; visit answers whether to go
// on.
template <typename Visit>
void WalkShiftButtons(const CNode& shift, Visit visit) {
  for (const CNode* set : shift.Children()) {
    if (!Is(set, profile::kTagSelectionSet)) continue;
    for (const CNode* combo : set->Children()) {
      if (!Is(combo, profile::kTagButtonCombo)) continue;
      for (const CNode* button : combo->Children()) {
        if (!Is(button, profile::kTagButtonHid)) continue;
        const auto usage = static_cast<uint32_t>(
            static_cast<const profile::CButtonHidNode*>(button)->value);
        if (!visit(usage)) return;
      }
    }
  }
}

void LogGuidLine(const char16_t* format, const platform::Guid& guid, const char16_t* name,
                 const char16_t* extra = nullptr) {
  LogMessage(kLogEvent, kLogCategory, format, guid.data1, guid.data2, guid.data3, guid.data4[0],
             guid.data4[1], guid.data4[2], guid.data4[3], guid.data4[4], guid.data4[5],
             guid.data4[6], guid.data4[7], name, extra);
}

// A command's GUID and name, taken while its node is at hand: thousands of nodes lie far apart.
using CommandNames = decltype(ProfileSummary::command_names);

using NamedCommand = std::pair<platform::Guid, std::u16string_view>;

// Sorts by GUID, equal GUIDs in the order they come. Thousands of random GUIDs go faster into
// buckets by their first bits, a couple to a bucket, than through comparisons whose outcome no
// branch predictor can guess; each bucket is then sorted on its own.
void SortByGuid(std::vector<NamedCommand>* commands) {
  auto less = [](const NamedCommand& a, const NamedCommand& b) { return a.first < b.first; };
  const size_t count = commands->size();
  if (count < 256) {
    std::stable_sort(commands->begin(), commands->end(), less);
    return;
  }
  // GUIDs order by their bytes in memory, the first byte first.
  const int bits = std::min(16, static_cast<int>(std::bit_width(count)));
  auto bucket = [bits](const platform::Guid& guid) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&guid);
    return static_cast<size_t>((bytes[0] << 8 | bytes[1]) >> (16 - bits));
  };
  std::vector<size_t> starts((size_t{1} << bits) + 1, 0);
  for (const NamedCommand& command : *commands) ++starts[bucket(command.first) + 1];
  for (size_t i = 1; i < starts.size(); ++i) starts[i] += starts[i - 1];
  std::vector<size_t> next(starts.begin(), starts.end() - 1);
  std::vector<NamedCommand> sorted(count);
  for (const NamedCommand& command : *commands) sorted[next[bucket(command.first)]++] = command;
  for (size_t b = 0; b + 1 < starts.size(); ++b) {
    const auto first = sorted.begin() + static_cast<std::ptrdiff_t>(starts[b]);
    const auto last = sorted.begin() + static_cast<std::ptrdiff_t>(starts[b + 1]);
    if (last - first > 16) {
      std::stable_sort(first, last, less);
      continue;
    }
    for (auto at = first; at != last; ++at) {  // insertion, which keeps equal GUIDs in order
      for (auto back = at; back != first && less(*back, *(back - 1)); --back) std::iter_swap(back, back - 1);
    }
  }
  *commands = std::move(sorted);
}

// recycled: the command names of the summary read before, whose map entries and texts are used
// again rather than freed and allocated afresh (the same profile is read on every clutch event).
void ReadCommandNames(const CNode* root, ProfileSummary* summary, CommandNames* recycled) {
  const CNode* commands = VexNode::FindNode(root, profile::kTagCommands);
  if (commands == nullptr) return;
  std::vector<NamedCommand> named;
  const auto& children = commands->Children();
  for (size_t i = 0; i < children.size(); ++i) {
    // Each command lies after the whole subtree of the one before: the next few are fetched ahead.
    constexpr size_t kAhead = 4;
    if (i + kAhead < children.size()) __builtin_prefetch(children[i + kAhead]);
    const CNode* child = children[i];
    // String commands have no name to show.
    if (!Is(child, profile::kTagActionCommand) && !Is(child, profile::kTagTemporalCommand) &&
        !Is(child, profile::kTagCycleCommand)) {
      continue;
    }
    const auto* command = static_cast<const profile::CCommandNode*>(child);
    named.emplace_back(command->value, command->name.View());
    LogGuidLine(u"Command : {%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X} = \"%ws\"",
                command->value, command->name.Text());
  }
  // A profile has thousands of commands: in GUID order (equal GUIDs in document order) each one
  // goes in at the end of the map without a search, and of equal GUIDs the later name stays.
  SortByGuid(&named);
  auto& names = summary->command_names;
  for (const auto& [guid, name] : named) {
    if (!names.empty() && !(std::prev(names.end())->first < guid)) {
      std::prev(names.end())->second = name;
    } else if (recycled->empty()) {
      names.emplace_hint(names.end(), guid, name);
    } else {
      auto entry = recycled->extract(recycled->begin());
      entry.key() = guid;
      entry.mapped() = name;
      names.insert(names.end(), std::move(entry));
    }
  }
}

void ReadShifts(const CNode* controller, const ShiftButtonSet& shift_buttons,
                ProfileSummary* summary) {
  const CNode* shifts = VexNode::FindNode(controller, profile::kTagShifts);
  if (shifts == nullptr) return;
  for (const CNode* child : shifts->Children()) {
    if (!Is(child, profile::kTagShift)) continue;
    const auto* shift = static_cast<const profile::CShiftNode*>(child);
    const bool is_default = IsDefaultShift(*shift, shift_buttons);
    summary->shift_names[shift->value] = shift->name.View();
    summary->default_shifts[shift->value] = is_default;
    AddShiftSelectors(*shift, summary);
    LogGuidLine(u"Shift : {%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X} = \"%ws\" (%ws)",
                shift->value, shift->name.Text(), is_default ? u"Default" : u"Non-Default");
  }
}

}  // namespace

void ReadControlNames(const CNode& node, ProfileSummary* summary) {
  for (const CNode* child : node.Children()) {
    if (Is(child, profile::kTagAxis) || Is(child, profile::kTagButton) ||
        Is(child, profile::kTagHat) || Is(child, profile::kTagMouseAxis)) {
      const auto* control = static_cast<const profile::CControlBaseNode*>(child);
      const auto number = static_cast<uint32_t>(control->value);
      LogMessage(kLogEvent, kLogCategory, u"Control : %08X = \"%ws\"", number,
                 control->name.Text());
      summary->control_names[number] = control->name.View();
    } else if (Is(child, profile::kTagMinistick) || Is(child, profile::kTagSlider) ||
               Is(child, profile::kTagMousePointer)) {
      ReadControlNames(*child, summary);
    }
  }
}

bool IsDefaultShift(const CNode& shift, const ShiftButtonSet& shift_buttons) {
  bool all_shift_buttons = true;
  WalkShiftButtons(shift, [&](uint32_t usage) {
    all_shift_buttons = shift_buttons.count(usage) != 0;
    return all_shift_buttons;
  });
  return all_shift_buttons;
}

void AddShiftSelectors(const CNode& shift, ProfileSummary* summary) {
  constexpr uint32_t kKindButton = 3;
  WalkShiftButtons(shift, [&](uint32_t usage) {
    summary->command_ignore.push_back({kKindButton, usage});
    return true;
  });
}

SummaryOutcome ReadProfileSummary(const std::u16string& path, const ShiftButtonSet& shift_buttons,
                                  const DeviceIdQuery& device_ids, ProfileSummary* summary) {
  CommandNames recycled = std::move(summary->command_names);
  *summary = ProfileSummary{};
  std::unique_ptr<CNode> root;
  switch (VexNode::LoadDocumentSkipping(path, profile::RegisterProfileSummaryLightNodes,
                                        profile::RegisterProfileSummaryNodes,
                                        profile::kProfileSummaryWatched, &root)) {
    case VexNode::LoadStatus::kCannotOpen: return SummaryOutcome::kNotOpened;
    case VexNode::LoadStatus::kSyntaxError: return SummaryOutcome::kNotRead;
    case VexNode::LoadStatus::kLoaded: break;
  }
  if (const CNode* found = VexNode::FindNode(root.get(), profile::kTagProfile)) {
    summary->profile_name = static_cast<const profile::CProfileNode*>(found)->value.View();
    LogMessage(kLogEvent, kLogCategory, u"Profile : %ws", summary->profile_name.c_str());
  }
  ReadCommandNames(root.get(), summary, &recycled);
  platform::Guid member;
  platform::Guid controller_guid;
  device_ids(&member, &controller_guid);
  const CNode* controller = profile::FindController(root.get(), &member, &controller_guid);
  if (controller == nullptr) return SummaryOutcome::kRead;
  if (const CNode* controls = VexNode::FindNode(controller, profile::kTagControls)) {
    ReadControlNames(*controls, summary);
  }
  ReadShifts(controller, shift_buttons, summary);
  return SummaryOutcome::kRead;
}
