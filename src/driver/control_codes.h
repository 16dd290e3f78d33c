// The device control codes the system sends to the controllers' driver, and their names.
#pragma once

#include <cstdint>

// FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS with the given function number.
constexpr uint32_t DriverControlCode(uint32_t function) { return (0x22u << 16) | (function << 2); }

inline constexpr uint32_t IOCTL_PROFILE_LOAD = DriverControlCode(0xA00);
inline constexpr uint32_t IOCTL_PROFILE_GET_PATH = DriverControlCode(0xA01);
inline constexpr uint32_t IOCTL_PROFILE_CLEAR = DriverControlCode(0xA02);
inline constexpr uint32_t IOCTL_PROFILE_ACTIVATE = DriverControlCode(0xA03);
inline constexpr uint32_t IOCTL_GET_MEMBER_GUID = DriverControlCode(0xA06);
inline constexpr uint32_t IOCTL_GET_CONTROLLER_GUID = DriverControlCode(0xA07);
inline constexpr uint32_t IOCTL_WAIT_PROFILE_CHANGE = DriverControlCode(0xA09);
inline constexpr uint32_t IOCTL_GET_PROFILE_ID = DriverControlCode(0xA0A);
inline constexpr uint32_t IOCTL_WAIT_SHIFT_CHANGE = DriverControlCode(0xA0F);
inline constexpr uint32_t IOCTL_WAIT_COMMAND = DriverControlCode(0xA10);
inline constexpr uint32_t IOCTL_SET_CLUTCH_MODE = DriverControlCode(0xA11);
inline constexpr uint32_t IOCTL_GET_SHIFT_STATE = DriverControlCode(0xA12);
inline constexpr uint32_t IOCTL_GET_DEVICE_TYPE = DriverControlCode(0xC00);
inline constexpr uint32_t IOCTL_SET_STRING = DriverControlCode(0xC01);
inline constexpr uint32_t IOCTL_WAIT_CLUTCH_STATE = DriverControlCode(0xC16);
inline constexpr uint32_t IOCTL_WAIT_SOFT_BUTTONS = DriverControlCode(0xC20);
inline constexpr uint32_t IOCTL_SET_SHIFT_INDICATOR = DriverControlCode(0xC21);
inline constexpr uint32_t IOCTL_WAIT_CLUTCH_EVENT = DriverControlCode(0xD8D);
inline constexpr uint32_t IOCTL_SET_CLUTCH_TEXT = DriverControlCode(0xD8F);

static_assert(IOCTL_PROFILE_LOAD == 0x222800 && IOCTL_GET_DEVICE_TYPE == 0x223000 &&
              IOCTL_WAIT_CLUTCH_EVENT == 0x223634 && IOCTL_SET_CLUTCH_TEXT == 0x22363C);

// The name of a code as written above ("IOCTL_SET_STRING"); null for a code not in the table.
const char* ControlCodeName(uint32_t code);
// The code of a name; false for an unknown name.
bool ControlCodeFromName(const char* name, uint32_t* code);
// True for the codes that complete only when the driver has an event to report.
bool IsWaitCode(uint32_t code);
