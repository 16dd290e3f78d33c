// The OS half of device handles on Linux: driver devices are reached through the socket
// transport (socket_device.h).
#include "platform/device_io_os.h"
#include "platform/posix/device_watch.h"
#include "platform/posix/socket_device.h"
#include "platform/text.h"

namespace platform {

// A Windows device-namespace name ("\\.\NAME", such as the driver's control device or a legacy
// link) is the socket NAME in the driver's device folder; any other path is a socket path.
DeviceConnection* OpenOsDevice(std::u16string_view path, DeviceAccess access, bool overlapped,
                               uint32_t* error) {
  constexpr std::u16string_view kDeviceNamespace = u"\\\\.\\";
  if (path.starts_with(kDeviceNamespace)) {
    std::u16string in_folder = FromUtf8(DeviceFolder()) + u"/";
    in_folder.append(path.substr(kDeviceNamespace.size()));
    return OpenSocketDevice(in_folder, access, overlapped, error);
  }
  return OpenSocketDevice(path, access, overlapped, error);
}

// The socket transport waits for the driver's open answer for its own limited time.
bool OsOpenIsBounded() { return true; }

}  // namespace platform
