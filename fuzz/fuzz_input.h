// Shared by the fuzz targets: the fuzz input as a stream of little-endian UTF-16 units.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "document/parser.h"

namespace fuzz {

// The first byte picks the window: the real 4096 units, a small one so that short inputs reach the
// refill paths too, or one of 64 sizes in between, so that a document is split between reads at
// other points than multiples of the real window. The rest is the document file.
struct Input {
  const uint8_t* bytes;
  size_t size;
  size_t at = 0;

  static size_t Capacity(uint8_t selector) {
    if (selector < 0x40) return VexNode::kWindowUnits;
    if (selector < 0x80) return 65 + static_cast<size_t>(selector - 0x40) * 63;  // 65 to 4034 units
    return 1 + selector % 64;
  }
};

// Reads whole units only, like the file reader.
inline bool ReadUnits(void* user, char16_t* destination, size_t* count) {
  auto* in = static_cast<Input*>(user);
  const size_t units = std::min(*count, (in->size - in->at) / 2);
  for (size_t i = 0; i < units; ++i) {
    destination[i] = static_cast<char16_t>(in->bytes[in->at + 2 * i] | (in->bytes[in->at + 2 * i + 1] << 8));
  }
  in->at += 2 * units;
  *count = units;
  return units != 0;
}

}  // namespace fuzz
