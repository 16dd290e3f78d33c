// GUID in the Windows in-memory layout, with the byte-wise order used by GUID-keyed tables.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace platform {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  // Compares the 16 stored bytes as unsigned bytes, first byte first (the in-memory order,
  // so data1 compares little-endian on every platform we build for).
  friend int Compare(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)); }
  friend bool operator==(const Guid& a, const Guid& b) { return Compare(a, b) == 0; }
  friend bool operator<(const Guid& a, const Guid& b) { return Compare(a, b) < 0; }
  bool IsNull() const { return *this == Guid{}; }
};
static_assert(sizeof(Guid) == 16);

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", upper case, no braces.
std::u16string FormatGuid(const Guid& guid);
// Parses 8-4-4-4-12 hexadecimal digits, braces optional, any case.
bool ParseGuid(std::u16string_view text, Guid* out);

}  // namespace platform
