// Decoding of the display string request (IOCTL_SET_STRING input) back into commands, character
// codes and text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The unit the display shows for a character code: the lowest UTF-16 unit that DisplayCharMap
// maps to it; U+FFFD for a code that no unit maps to.
char16_t DisplayUnitForCode(uint8_t code);

struct StringPacket {
  uint16_t clear_command = 0;    // record 0
  bool has_set_command = false;  // false when the packet is the clear record alone
  uint16_t set_command = 0;      // of the first character record
  std::vector<uint8_t> codes;    // two per character record, in text order
  std::u16string text;           // the codes through the inverse character map
};

// Records of 4 bytes: {u16 clear command, 0, 0}, then {u16 set command, code of the second
// unit, code of the first unit} per pair of units. False when the input holds no whole record.
bool DecodeStringPacket(const uint8_t* input, size_t size, StringPacket* out);

}  // namespace sim
