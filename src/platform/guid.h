// GUID in the Windows in-memory layout, with the byte-wise order used by GUID-keyed tables.
#pragma once

#include <bit>
#include <cstddef>
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
  // Eight bytes at a time: GUID-keyed tables compare often, and a library call costs more than
  // the comparison itself.
  friend int Compare(const Guid& a, const Guid& b) {
    const uint64_t a0 = BytesInOrder(&a, 0), b0 = BytesInOrder(&b, 0);
    if (a0 != b0) return a0 < b0 ? -1 : 1;
    const uint64_t a1 = BytesInOrder(&a, 8), b1 = BytesInOrder(&b, 8);
    return a1 < b1 ? -1 : (a1 > b1 ? 1 : 0);
  }
  friend bool operator==(const Guid& a, const Guid& b) { return Compare(a, b) == 0; }
  friend bool operator<(const Guid& a, const Guid& b) { return Compare(a, b) < 0; }
  bool IsNull() const { return *this == Guid{}; }

 private:
  // Eight stored bytes from offset as one number whose order is the bytes' order, first byte
  // most significant.
  static uint64_t BytesInOrder(const Guid* guid, size_t offset) {
    uint64_t value;
    std::memcpy(&value, reinterpret_cast<const unsigned char*>(guid) + offset, sizeof value);
    if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
    return value;
  }
};
static_assert(sizeof(Guid) == 16);

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", upper case, no braces.
std::u16string FormatGuid(const Guid& guid);
// Parses 8-4-4-4-12 hexadecimal digits, braces optional, any case.
bool ParseGuid(std::u16string_view text, Guid* out);

}  // namespace platform
