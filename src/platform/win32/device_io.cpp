// The OS half of device handles on Windows.
#include "platform/device_io_os.h"

namespace platform {

DeviceConnection* OpenOsDevice(std::u16string_view path, DeviceAccess access, bool overlapped,
                               uint32_t* error) {
  *error = kErrorFileNotFound;
  return nullptr;
}

}  // namespace platform
