// Names of the driver control codes.
#include "driver/control_codes.h"

#include <cstring>
#include <iterator>

namespace {

struct NamedCode {
  uint32_t code;
  const char* name;
  bool wait;
};

constexpr NamedCode kCodes[] = {
    {IOCTL_PROFILE_LOAD, "IOCTL_PROFILE_LOAD", false},
    {IOCTL_PROFILE_GET_PATH, "IOCTL_PROFILE_GET_PATH", false},
    {IOCTL_PROFILE_CLEAR, "IOCTL_PROFILE_CLEAR", false},
    {IOCTL_PROFILE_ACTIVATE, "IOCTL_PROFILE_ACTIVATE", false},
    {IOCTL_GET_MEMBER_GUID, "IOCTL_GET_MEMBER_GUID", false},
    {IOCTL_GET_CONTROLLER_GUID, "IOCTL_GET_CONTROLLER_GUID", false},
    {IOCTL_WAIT_PROFILE_CHANGE, "IOCTL_WAIT_PROFILE_CHANGE", true},
    {IOCTL_GET_PROFILE_ID, "IOCTL_GET_PROFILE_ID", false},
    {IOCTL_WAIT_SHIFT_CHANGE, "IOCTL_WAIT_SHIFT_CHANGE", true},
    {IOCTL_WAIT_COMMAND, "IOCTL_WAIT_COMMAND", true},
    {IOCTL_SET_CLUTCH_MODE, "IOCTL_SET_CLUTCH_MODE", false},
    {IOCTL_GET_SHIFT_STATE, "IOCTL_GET_SHIFT_STATE", false},
    {IOCTL_GET_DEVICE_TYPE, "IOCTL_GET_DEVICE_TYPE", false},
    {IOCTL_SET_STRING, "IOCTL_SET_STRING", false},
    {IOCTL_WAIT_CLUTCH_STATE, "IOCTL_WAIT_CLUTCH_STATE", true},
    {IOCTL_WAIT_SOFT_BUTTONS, "IOCTL_WAIT_SOFT_BUTTONS", true},
    {IOCTL_SET_SHIFT_INDICATOR, "IOCTL_SET_SHIFT_INDICATOR", false},
    {IOCTL_WAIT_CLUTCH_EVENT, "IOCTL_WAIT_CLUTCH_EVENT", true},
    {IOCTL_SET_CLUTCH_TEXT, "IOCTL_SET_CLUTCH_TEXT", false},
};

const NamedCode* Find(uint32_t code) {
  for (const NamedCode& entry : kCodes) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

}  // namespace

const char* ControlCodeName(uint32_t code) {
  const NamedCode* entry = Find(code);
  return entry != nullptr ? entry->name : nullptr;
}

bool ControlCodeFromName(const char* name, uint32_t* code) {
  for (const NamedCode& entry : kCodes) {
    if (std::strcmp(entry.name, name) == 0) {
      *code = entry.code;
      return true;
    }
  }
  return false;
}

bool IsWaitCode(uint32_t code) {
  const NamedCode* entry = Find(code);
  return entry != nullptr && entry->wait;
}
