// Input and output layouts of the driver control requests: little-endian integers, GUIDs in the
// Windows in-memory layout, packed as the driver expects them. Builders for what the system
// sends, parsers for what it reads back (and the reverse, for whatever stands in the driver).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/guid.h"

namespace driver_bytes {

inline void PutU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}
inline void PutU32(uint8_t* at, uint32_t value) {
  PutU16(at, static_cast<uint16_t>(value));
  PutU16(at + 2, static_cast<uint16_t>(value >> 16));
}
inline uint16_t GetU16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }
inline uint32_t GetU32(const uint8_t* at) { return GetU16(at) | (uint32_t{GetU16(at + 2)} << 16); }
void PutGuid(uint8_t* at, const platform::Guid& guid);
platform::Guid GetGuid(const uint8_t* at);
// count UTF-16 units from at, little-endian.
std::u16string GetUnits(const uint8_t* at, size_t count);

}  // namespace driver_bytes

// IOCTL_PROFILE_LOAD input: u32 1; i32 -1; u16 0; the path and a terminator (12 + 2n bytes).
std::vector<uint8_t> BuildProfileLoadInput(std::u16string_view path);
// The path of a load input, up to its terminator or the end of the input. False when the input
// is shorter than its 10-byte head.
bool ParseProfileLoadInput(const uint8_t* input, size_t size, std::u16string* path);

// IOCTL_PROFILE_GET_PATH and IOCTL_PROFILE_ACTIVATE input: u32 1; u32 profile id.
std::array<uint8_t, 8> BuildProfileIdInput(uint32_t profile_id);
bool ParseProfileIdInput(const uint8_t* input, size_t size, uint32_t* profile_id);

// IOCTL_PROFILE_CLEAR input: u32 1; i32 -1.
std::array<uint8_t, 8> BuildProfileClearInput();

// One u32 (IOCTL_SET_CLUTCH_MODE, IOCTL_SET_SHIFT_INDICATOR input; IOCTL_PROFILE_LOAD and
// IOCTL_GET_PROFILE_ID output).
std::array<uint8_t, 4> BuildWord(uint32_t value);
bool ParseWord(const uint8_t* buffer, size_t size, uint32_t* value);

// IOCTL_SET_CLUTCH_TEXT input: u32 length in units; u16 3; the text; two zero bytes
// (8 + 2n bytes).
std::vector<uint8_t> BuildClutchTextInput(std::u16string_view text);
// The text of a clutch text input: as many units as its length says and the input holds.
bool ParseClutchTextInput(const uint8_t* input, size_t size, std::u16string* text);

// IOCTL_PROFILE_GET_PATH reply: u32 path length in units; u16 kind; the path from byte 6,
// ending at its first NUL or at the end of the buffer.
inline constexpr uint32_t kProfilePathFirstReplyBytes = 1024;
inline constexpr uint16_t kProfilePathAbsolute = 0;
inline constexpr uint16_t kProfilePathRelative = 1;  // relative to the Windows folder
// Kinds above 1: the buffer was too small; ask again with ProfilePathRetryBytes(length).
constexpr uint32_t ProfilePathRetryBytes(uint32_t length) { return length * 2 + 8; }

struct ProfilePathReply {
  uint32_t length = 0;
  uint16_t kind = 0;
  std::u16string path;
};
// False when the reply is shorter than its 6-byte head.
bool ParseProfilePathReply(const uint8_t* reply, size_t size, ProfilePathReply* out);
// Writes a reply of kind for path into capacity bytes: the head, then as much of the path and
// its terminator as fits. Returns the bytes written, 0 when capacity is below 6.
uint32_t WriteProfilePathReply(uint8_t* reply, uint32_t capacity, uint16_t kind,
                               std::u16string_view path);

// IOCTL_WAIT_CLUTCH_EVENT and IOCTL_WAIT_CLUTCH_STATE reply: u16 engaged; u16 event type.
struct ClutchWords {
  static constexpr size_t kSize = 4;
  uint16_t engaged = 0;  // non-zero: engaged
  uint16_t event_type = 0;
  void Write(uint8_t* at) const;
  static ClutchWords Read(const uint8_t* at);
};

// IOCTL_WAIT_COMMAND reply: u32 control number; u32 kind; u32 state; GUID command id.
struct CommandRecord {
  static constexpr size_t kSize = 28;
  uint32_t control = 0;
  uint32_t kind = 0;
  uint32_t state = 0;
  platform::Guid command;
  void Write(uint8_t* at) const;
  static CommandRecord Read(const uint8_t* at);
};

// GUID replies (IOCTL_GET_DEVICE_TYPE, IOCTL_GET_MEMBER_GUID, IOCTL_GET_CONTROLLER_GUID,
// IOCTL_GET_SHIFT_STATE, IOCTL_WAIT_SHIFT_CHANGE) are 16 bytes: driver_bytes::PutGuid/GetGuid.
inline constexpr size_t kGuidReplyBytes = 16;
