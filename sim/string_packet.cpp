// The inverse display character map and the display string request decoder.
#include "sim/string_packet.h"

#include <array>

#include "driver/driver_buffers.h"
#include "session/display_char_map.h"

namespace sim {
namespace {

std::array<char16_t, 256> BuildInverseMap() {
  std::array<char16_t, 256> inverse;
  inverse.fill(u'\uFFFD');
  // Downwards, so that where two units share a code the lower one is kept.
  for (int unit = 255; unit >= 0; --unit)
    inverse[DisplayCharMap[unit]] = static_cast<char16_t>(unit);
  return inverse;
}

}  // namespace

char16_t DisplayUnitForCode(uint8_t code) {
  static const std::array<char16_t, 256> inverse = BuildInverseMap();
  return inverse[code];
}

bool DecodeStringPacket(const uint8_t* input, size_t size, StringPacket* out) {
  if (size < 4) return false;
  *out = StringPacket{};
  out->clear_command = driver_bytes::GetU16(input);
  for (size_t at = 4; at + 4 <= size; at += 4) {
    if (!out->has_set_command) {
      out->has_set_command = true;
      out->set_command = driver_bytes::GetU16(input + at);
    }
    out->codes.push_back(input[at + 3]);
    out->codes.push_back(input[at + 2]);
  }
  for (uint8_t code : out->codes) out->text.push_back(DisplayUnitForCode(code));
  return true;
}

}  // namespace sim
