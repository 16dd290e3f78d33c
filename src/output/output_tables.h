// A controller's output tables (LEDs, display strings, shift buttons) and the loading of its
// output configuration file from the executable's directory.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "document/node_reader.h"
#include "platform/guid.h"

// One LED of the controller, from a ledcaps element.
struct LedEntry {
  uint32_t id = 0;
  uint16_t command = 0;   // low 16 bits of command
  uint8_t index = 0;      // low 8 bits of index
  uint8_t max_value = 0;  // low 8 bits of maxvalue
};

// One display string of the controller, from a stringcaps element.
struct StringEntry {
  uint32_t id = 0;
  uint16_t clear_command = 0;
  uint16_t set_command = 0;
  uint32_t max_length = 0;    // characters that fit on the display line
  uint32_t marquee_time = 0;  // milliseconds per marquee step
};

struct OutputTables {
  std::map<uint32_t, LedEntry> leds;
  std::map<uint32_t, StringEntry> strings;
  std::map<uint32_t, uint32_t> shift_buttons;  // HID usage -> the same usage
};

// The file name of a device type's output configuration, led by the native path separator:
// "\XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX.dat" with upper-case digits, 41 units.
std::u16string OutputConfigurationName(const platform::Guid& device_type);

// Reads the output configuration of device_type from the directory of the running executable
// into tables. True when the file was found and parsed, whether or not it held any entry; the
// tables are left as they were on failure. Entries already present stay unless a later entry
// with the same id replaces them.
bool LoadOutputConfiguration(OutputTables* tables, const platform::Guid& device_type);

// The same from a given file: logs "Reading Config file", reads the document and, once it has
// been read, enters the ledcaps, stringcaps and shiftbutton children of its first outputlist.
VexNode::LoadStatus LoadOutputConfigurationFile(OutputTables* tables, std::u16string_view path);
