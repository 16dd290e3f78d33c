// The simulated driver's answer to each control code, and how requests appear in the trace.
#include <cstdio>

#include "driver/control_codes.h"
#include "sim/model_internal.h"
#include "sim/string_packet.h"

namespace sim {
namespace {

using driver_bytes::GetU32;
using driver_bytes::PutGuid;

std::vector<uint8_t> GuidBytes(const platform::Guid& guid) {
  std::vector<uint8_t> bytes(kGuidReplyBytes);
  PutGuid(bytes.data(), guid);
  return bytes;
}

std::vector<uint8_t> WordBytes(uint32_t value) {
  auto word = BuildWord(value);
  return std::vector<uint8_t>(word.begin(), word.end());
}

void Refuse(uint32_t status, DriverModel::Reply* reply) { reply->status = status; }

// Answers a request whose output is one fixed-size value.
void ReplyWith(std::vector<uint8_t> bytes, uint32_t capacity, DriverModel::Reply* reply) {
  if (capacity < bytes.size()) return Refuse(kErrorInsufficientBuffer, reply);
  reply->output = std::move(bytes);
}

const ProfileRecord* FindProfile(const ControllerState& state, uint32_t id) {
  for (const ProfileRecord& profile : state.profiles) {
    if (id != 0 && profile.id == id) return &profile;
  }
  return nullptr;
}

// Strips the zero padding of a text whose length was odd.
std::u16string DisplayText(std::u16string text) {
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

}  // namespace

std::string TraceCodeName(uint32_t code) {
  if (code == kReadRequest) return "read";
  if (const char* name = ControlCodeName(code)) return name;
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(code));
  return text;
}

uint32_t WaitReplyBytes(uint32_t code) {
  switch (code) {
    case IOCTL_WAIT_CLUTCH_EVENT:
    case IOCTL_WAIT_CLUTCH_STATE: return ClutchWords::kSize;
    case IOCTL_WAIT_SHIFT_CHANGE: return kGuidReplyBytes;
    case IOCTL_WAIT_COMMAND: return CommandRecord::kSize;
    case IOCTL_WAIT_SOFT_BUTTONS: return 4;
    default: return 0;
  }
}

void DescribeWaitAnswer(uint32_t code, const std::vector<uint8_t>& output, JsonLine* fields) {
  if (code == kReadRequest) {
    fields->Number("size", static_cast<int64_t>(output.size()));
    return;
  }
  if (output.size() < WaitReplyBytes(code)) return;
  switch (code) {
    case IOCTL_WAIT_CLUTCH_EVENT:
    case IOCTL_WAIT_CLUTCH_STATE: {
      ClutchWords words = ClutchWords::Read(output.data());
      fields->Number("engaged", words.engaged).Number("type", words.event_type);
      break;
    }
    case IOCTL_WAIT_SHIFT_CHANGE:
      fields->Guid("shift", driver_bytes::GetGuid(output.data()));
      break;
    case IOCTL_WAIT_COMMAND: {
      CommandRecord record = CommandRecord::Read(output.data());
      fields->Number("control", record.control).Number("kind", record.kind);
      fields->Number("commandstate", record.state).Guid("command", record.command);
      break;
    }
    case IOCTL_WAIT_SOFT_BUTTONS: fields->Number("buttons", GetU32(output.data())); break;
    default: break;
  }
}

void DriverModel::DescribeInput(uint32_t code, const uint8_t* input, uint32_t input_size,
                                JsonLine* fields) const {
  uint32_t value = 0;
  std::u16string text;
  StringPacket packet;
  switch (code) {
    case IOCTL_PROFILE_LOAD:
      if (ParseProfileLoadInput(input, input_size, &text)) fields->Text("path", TracePath(text));
      break;
    case IOCTL_PROFILE_GET_PATH:
    case IOCTL_PROFILE_ACTIVATE:
      if (ParseProfileIdInput(input, input_size, &value)) fields->Number("id", value);
      break;
    case IOCTL_SET_CLUTCH_MODE:
    case IOCTL_SET_SHIFT_INDICATOR:
      if (ParseWord(input, input_size, &value)) {
        fields->Number(code == IOCTL_SET_CLUTCH_MODE ? "mode" : "on", value);
      }
      break;
    case IOCTL_SET_STRING:
      if (!DecodeStringPacket(input, input_size, &packet)) break;
      fields->Number("clear", packet.clear_command);
      if (packet.has_set_command)
        fields->Number("set", packet.set_command);
      else
        fields->Null("set");
      fields->Numbers("codes", packet.codes).Text("text", packet.text);
      break;
    case IOCTL_SET_CLUTCH_TEXT:
      if (ParseClutchTextInput(input, input_size, &text)) fields->Text("text", text);
      break;
    default: break;
  }
}

void DriverModel::Respond(Controller& c, uint32_t code, const uint8_t* input, uint32_t input_size,
                          uint32_t capacity, Reply* reply) {
  ControllerState& s = c.state;
  uint32_t word = 0;
  std::u16string text;
  StringPacket packet;
  switch (code) {
    case IOCTL_PROFILE_LOAD:
    case IOCTL_PROFILE_GET_PATH:
    case IOCTL_PROFILE_CLEAR:
    case IOCTL_PROFILE_ACTIVATE:
    case IOCTL_GET_PROFILE_ID: return RespondProfile(c, code, input, input_size, capacity, reply);
    case IOCTL_GET_MEMBER_GUID: return ReplyWith(GuidBytes(s.config.member), capacity, reply);
    case IOCTL_GET_CONTROLLER_GUID:
      return ReplyWith(GuidBytes(s.config.controller), capacity, reply);
    case IOCTL_GET_DEVICE_TYPE: return ReplyWith(GuidBytes(s.config.device_type), capacity, reply);
    case IOCTL_GET_SHIFT_STATE: return ReplyWith(GuidBytes(s.shift_state), capacity, reply);
    case IOCTL_SET_CLUTCH_MODE:
    case IOCTL_SET_SHIFT_INDICATOR:
      if (!ParseWord(input, input_size, &word)) return Refuse(kErrorInvalidParameter, reply);
      (code == IOCTL_SET_CLUTCH_MODE ? s.clutch_mode : s.shift_indicator) = word;
      return;
    case IOCTL_SET_STRING:
      if (!DecodeStringPacket(input, input_size, &packet))
        return Refuse(kErrorInvalidParameter, reply);
      s.display[packet.clear_command] = DisplayText(packet.text);
      ++s.display_requests;
      return;
    case IOCTL_SET_CLUTCH_TEXT:
      if (!ParseClutchTextInput(input, input_size, &text))
        return Refuse(kErrorInvalidParameter, reply);
      s.clutch_text = text;
      return;
    case kReadRequest:
      if (s.config.input_report_length == 0) return Refuse(kErrorInvalidFunction, reply);
      if (capacity < s.config.input_report_length) return Refuse(kErrorInsufficientBuffer, reply);
      reply->hold = true;
      return;
    default:
      if (!IsWaitCode(code)) return Refuse(kErrorInvalidFunction, reply);
      if (capacity < WaitReplyBytes(code)) return Refuse(kErrorInsufficientBuffer, reply);
      reply->hold = true;
      return;
  }
}

void DriverModel::RespondProfile(Controller& c, uint32_t code, const uint8_t* input,
                                 uint32_t input_size, uint32_t capacity, Reply* reply) {
  ControllerState& s = c.state;
  uint32_t id = 0;
  std::u16string path;
  switch (code) {
    case IOCTL_PROFILE_LOAD:
      if (!ParseProfileLoadInput(input, input_size, &path))
        return Refuse(kErrorInvalidParameter, reply);
      if (capacity < 4) return Refuse(kErrorInsufficientBuffer, reply);
      id = c.next_profile_id++;
      s.profiles.push_back({id, path, kProfilePathAbsolute});
      reply->fields.Number("id", id);
      reply->output = WordBytes(id);
      return;
    case IOCTL_PROFILE_GET_PATH:
      if (!ParseProfileIdInput(input, input_size, &id))
        return Refuse(kErrorInvalidParameter, reply);
      return ReplyProfilePath(c, id, capacity, reply);
    case IOCTL_PROFILE_CLEAR:
      s.active_profile = 0;
      reply->profile_changed = true;
      return;
    case IOCTL_PROFILE_ACTIVATE:
      if (!ParseProfileIdInput(input, input_size, &id))
        return Refuse(kErrorInvalidParameter, reply);
      if (FindProfile(s, id) == nullptr) return Refuse(kErrorInvalidParameter, reply);
      s.active_profile = id;
      reply->profile_changed = true;
      if (capacity >= 4) reply->output = WordBytes(id);
      return;
    case IOCTL_GET_PROFILE_ID:
      if (capacity < 4) return Refuse(kErrorInsufficientBuffer, reply);
      reply->fields.Number("id", s.active_profile);
      reply->output = WordBytes(s.active_profile);
      return;
    default: return;
  }
}

void DriverModel::ReplyProfilePath(Controller& c, uint32_t id, uint32_t capacity, Reply* reply) {
  const ProfileRecord* profile = FindProfile(c.state, id);
  if (profile == nullptr) return Refuse(kErrorInvalidParameter, reply);
  if (capacity < 6) return Refuse(kErrorInsufficientBuffer, reply);
  uint32_t length = static_cast<uint32_t>(profile->path.size());
  uint16_t kind = profile->kind;
  if (!c.path_kinds.empty()) {
    kind = c.path_kinds.front();
    c.path_kinds.pop_front();
  } else if (capacity < ProfilePathRetryBytes(length)) {
    kind = 2;  // the path does not fit: the caller asks again with room for it
  }
  reply->fields.Number("kind", kind);
  if (kind > 1) {
    reply->output.assign(6, 0);
    driver_bytes::PutU32(reply->output.data(), length);
    driver_bytes::PutU16(reply->output.data() + 4, kind);
    return;
  }
  uint32_t size =
      capacity < ProfilePathRetryBytes(length) ? capacity : ProfilePathRetryBytes(length);
  reply->output.assign(size, 0);
  WriteProfilePathReply(reply->output.data(), size, kind, profile->path);
}

}  // namespace sim
