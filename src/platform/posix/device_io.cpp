// The OS half of device handles on Linux: driver devices are reached through the socket
// transport (socket_device.h).
#include "platform/device_io_os.h"
#include "platform/posix/socket_device.h"

namespace platform {

DeviceConnection* OpenOsDevice(std::u16string_view path, DeviceAccess access, bool overlapped,
                               uint32_t* error) {
  return OpenSocketDevice(path, access, overlapped, error);
}

}  // namespace platform
