// The OS half of device_io.h: opening a path that no in-process provider answers.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/device_io.h"

namespace platform {

// Opens path on the OS (a Windows device handle, or a Linux driver socket). Null with *error
// set to a Windows error code on failure.
DeviceConnection* OpenOsDevice(std::u16string_view path, DeviceAccess access, bool overlapped,
                               uint32_t* error);
// Whether OpenOsDevice gives up by itself on a driver that does not answer (the Linux socket
// transport has its own open limit); otherwise OpenDevice bounds the OS open on a helper thread.
bool OsOpenIsBounded();

}  // namespace platform
