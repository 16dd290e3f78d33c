// Encoding and decoding of the driver request buffers.
#include "driver/driver_buffers.h"

namespace driver_bytes {

void PutGuid(uint8_t* at, const platform::Guid& guid) {
  PutU32(at, guid.data1);
  PutU16(at + 4, guid.data2);
  PutU16(at + 6, guid.data3);
  for (int i = 0; i < 8; ++i) at[8 + i] = guid.data4[i];
}

platform::Guid GetGuid(const uint8_t* at) {
  platform::Guid guid;
  guid.data1 = GetU32(at);
  guid.data2 = GetU16(at + 4);
  guid.data3 = GetU16(at + 6);
  for (int i = 0; i < 8; ++i) guid.data4[i] = at[8 + i];
  return guid;
}

std::u16string GetUnits(const uint8_t* at, size_t count) {
  std::u16string text(count, u'\0');
  for (size_t i = 0; i < count; ++i) text[i] = static_cast<char16_t>(GetU16(at + 2 * i));
  return text;
}

}  // namespace driver_bytes

using namespace driver_bytes;

std::vector<uint8_t> BuildProfileLoadInput(std::u16string_view path) {
  std::vector<uint8_t> input(12 + 2 * path.size(), 0);
  PutU32(&input[0], 1);
  PutU32(&input[4], 0xFFFFFFFFu);
  PutU16(&input[8], 0);
  for (size_t i = 0; i < path.size(); ++i) PutU16(&input[10 + 2 * i], path[i]);
  return input;  // the terminator is already zero
}

bool ParseProfileLoadInput(const uint8_t* input, size_t size, std::u16string* path) {
  if (size < 10) return false;
  path->clear();
  for (size_t at = 10; at + 2 <= size; at += 2) {
    char16_t unit = static_cast<char16_t>(GetU16(input + at));
    if (unit == u'\0') break;
    path->push_back(unit);
  }
  return true;
}

std::array<uint8_t, 8> BuildProfileIdInput(uint32_t profile_id) {
  std::array<uint8_t, 8> input{};
  PutU32(&input[0], 1);
  PutU32(&input[4], profile_id);
  return input;
}

bool ParseProfileIdInput(const uint8_t* input, size_t size, uint32_t* profile_id) {
  if (size < 8) return false;
  *profile_id = GetU32(input + 4);
  return true;
}

std::array<uint8_t, 8> BuildProfileClearInput() {
  std::array<uint8_t, 8> input{};
  PutU32(&input[0], 1);
  PutU32(&input[4], 0xFFFFFFFFu);
  return input;
}

std::array<uint8_t, 4> BuildWord(uint32_t value) {
  std::array<uint8_t, 4> word{};
  PutU32(word.data(), value);
  return word;
}

bool ParseWord(const uint8_t* buffer, size_t size, uint32_t* value) {
  if (size < 4) return false;
  *value = GetU32(buffer);
  return true;
}

std::vector<uint8_t> BuildClutchTextInput(std::u16string_view text) {
  std::vector<uint8_t> input(8 + 2 * text.size(), 0);
  PutU32(&input[0], static_cast<uint32_t>(text.size()));
  PutU16(&input[4], 3);
  for (size_t i = 0; i < text.size(); ++i) PutU16(&input[6 + 2 * i], text[i]);
  return input;
}

bool ParseClutchTextInput(const uint8_t* input, size_t size, std::u16string* text) {
  if (size < 6) return false;
  size_t length = GetU32(input);
  size_t room = (size - 6) / 2;
  *text = GetUnits(input + 6, length < room ? length : room);
  return true;
}

bool ParseProfilePathReply(const uint8_t* reply, size_t size, ProfilePathReply* out) {
  if (size < 6) return false;
  out->length = GetU32(reply);
  out->kind = GetU16(reply + 4);
  out->path.clear();
  for (size_t at = 6; at + 2 <= size; at += 2) {
    char16_t unit = static_cast<char16_t>(GetU16(reply + at));
    if (unit == u'\0') break;
    out->path.push_back(unit);
  }
  return true;
}

uint32_t WriteProfilePathReply(uint8_t* reply, uint32_t capacity, uint16_t kind,
                               std::u16string_view path) {
  if (capacity < 6) return 0;
  PutU32(reply, static_cast<uint32_t>(path.size()));
  PutU16(reply + 4, kind);
  uint32_t at = 6;
  for (size_t i = 0; i <= path.size() && at + 2 <= capacity; ++i, at += 2) {
    PutU16(reply + at, i < path.size() ? path[i] : u'\0');
  }
  return at;
}

void ClutchWords::Write(uint8_t* at) const {
  PutU16(at, engaged);
  PutU16(at + 2, event_type);
}

ClutchWords ClutchWords::Read(const uint8_t* at) { return {GetU16(at), GetU16(at + 2)}; }

void CommandRecord::Write(uint8_t* at) const {
  PutU32(at, control);
  PutU32(at + 4, kind);
  PutU32(at + 8, state);
  PutGuid(at + 12, command);
}

CommandRecord CommandRecord::Read(const uint8_t* at) {
  CommandRecord record;
  record.control = GetU32(at);
  record.kind = GetU32(at + 4);
  record.state = GetU32(at + 8);
  record.command = GetGuid(at + 12);
  return record;
}
