// Loading a controller's output configuration file into its output tables.
#include "output/output_tables.h"

#include <memory>

#include "document/node_reader.h"
#include "log/log.h"
#include "output/output_nodes.h"
#include "platform/folders.h"

namespace {

namespace lumivox = VexNode::lumivoxdriver;

// Units of the buffer the executable's path and then the full file path are built in.
constexpr uint32_t kPathBufferUnits = 512;

void EnterLed(OutputTables* tables, const lumivox::CLedCapsNode& node) {
  LedEntry entry;
  entry.id = static_cast<uint32_t>(node.value);
  entry.command = static_cast<uint16_t>(node.command);
  entry.index = static_cast<uint8_t>(node.index);
  entry.max_value = static_cast<uint8_t>(node.maxvalue);
  tables->leds[entry.id] = entry;
  // The line shows the values as written, before they are cut to the table's widths.
  LogMessage(kLogEvent, kLogCategory, u"[LED ledid=%d command=%04X index=%d maxvalue=%d",
             node.value, static_cast<unsigned>(node.command), node.index, node.maxvalue);
}

void EnterString(OutputTables* tables, const lumivox::CStringCapsNode& node) {
  StringEntry entry;
  entry.id = static_cast<uint32_t>(node.value);
  entry.clear_command = static_cast<uint16_t>(node.clearcommand);
  entry.set_command = static_cast<uint16_t>(node.setcommand);
  entry.max_length = static_cast<uint32_t>(node.maxlength);
  entry.marquee_time = static_cast<uint32_t>(node.marqueetime);
  tables->strings[entry.id] = entry;
  LogMessage(kLogEvent, kLogCategory,
             u"[STRING id=%d clearcommand=%04X setcommand=%04X maxlength=%d marqueetime=%d",
             node.value, static_cast<unsigned>(node.clearcommand),
             static_cast<unsigned>(node.setcommand), node.maxlength, node.marqueetime);
}

void EnterShiftButton(OutputTables* tables, const lumivox::CShiftButtonNode& node) {
  const uint32_t usage = static_cast<uint32_t>(node.value);
  tables->shift_buttons[usage] = usage;
  LogMessage(kLogEvent, kLogCategory, u"[SHIFTBUTTON hid=%08X", usage);
}

// Only the direct children of the first outputlist count; deeper entries are not visited.
void EnterOutputList(OutputTables* tables, const VexNode::CNode* root) {
  const VexNode::CNode* list = VexNode::FindNode(root, lumivox::kTagOutputList);
  if (list == nullptr) return;
  for (const VexNode::CNode* child : list->Children()) {
    const char16_t* tag = child->GetTagName();
    if (tag == lumivox::kTagLedCaps) {
      EnterLed(tables, static_cast<const lumivox::CLedCapsNode&>(*child));
    } else if (tag == lumivox::kTagStringCaps) {
      EnterString(tables, static_cast<const lumivox::CStringCapsNode&>(*child));
    } else if (tag == lumivox::kTagShiftButton) {
      EnterShiftButton(tables, static_cast<const lumivox::CShiftButtonNode&>(*child));
    }
  }
}

}  // namespace

std::u16string OutputConfigurationName(const platform::Guid& device_type) {
  return platform::kPathSeparator + platform::FormatGuid(device_type) + u".dat";
}

bool LoadOutputConfiguration(OutputTables* tables, const platform::Guid& device_type) {
  std::u16string path;
  if (!platform::ExecutablePath(&path, kPathBufferUnits)) return false;
  const size_t separator = path.rfind(platform::kPathSeparator);
  if (separator == std::u16string::npos) return false;
  path.resize(separator);
  path += OutputConfigurationName(device_type);
  // The full path has to fit the same buffer, terminator included.
  if (path.size() + 1 > kPathBufferUnits) return false;
  return LoadOutputConfigurationFile(tables, path) == VexNode::LoadStatus::kLoaded;
}

VexNode::LoadStatus LoadOutputConfigurationFile(OutputTables* tables, std::u16string_view path) {
  const std::u16string terminated(path);
  LogMessage(kLogEvent, kLogCategory, u"Reading Config file \"%ws\"", terminated.c_str());
  std::unique_ptr<VexNode::CNode> root;
  const VexNode::LoadStatus status = VexNode::LoadDocument(path, lumivox::RegisterOutputNodes, &root);
  if (status == VexNode::LoadStatus::kLoaded) EnterOutputList(tables, root.get());
  return status;
}
