// Driver devices on Linux: one Unix stream socket connection per open handle, carrying framed
// control requests to a user-space driver (see docs/driver-protocol.md).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_io.h"

namespace platform {

// Frame codes beside the control codes: a cancel of an outstanding request, a read of one input
// report, and the question for the input report length.
inline constexpr uint32_t kSocketCancelCode = 0;
inline constexpr uint32_t kSocketReadCode = 0xFFFFFFFFu;
inline constexpr uint32_t kSocketInputReportLengthCode = 0xFFFFFFFEu;
// Sizes of the fixed parts of a request and an answer frame, length field included.
inline constexpr uint32_t kSocketRequestHeaderSize = 24;
inline constexpr uint32_t kSocketAnswerHeaderSize = 20;
// The driver's first frame on a new connection: u32 frame length (8), u32 open status.
inline constexpr uint32_t kSocketOpenAnswerSize = 8;
// Largest frame either side accepts; a larger length is a protocol fault that ends the connection.
inline constexpr uint32_t kSocketMaxFrameSize = 1u << 24;

// How long a connection waits for its driver, so that a driver that never answers cannot hang
// the service: opening waits open_ms for the open answer; a synchronous request waits request_ms
// for its answer, is then cancelled and fails; a cancelled request waits cancel_grace_ms for the
// driver's answer before it is ended locally. The service always uses these values; tests give
// shorter ones.
struct SocketLimits {
  uint32_t open_ms = 5000;
  uint32_t request_ms = 10000;
  uint32_t cancel_grace_ms = 2000;
};

// Connects to the driver socket at path with the service's limits. Null with *error set (a
// Windows error code) on failure.
DeviceConnection* OpenSocketDevice(std::u16string_view path, DeviceAccess access, bool overlapped,
                                   uint32_t* error);
// The same with the given limits, which hold for the life of the connection.
DeviceConnection* OpenSocketDevice(std::u16string_view path, DeviceAccess access, bool overlapped,
                                   const SocketLimits& limits, uint32_t* error);

// For a native handle of an open socket connection: the socket's path, and whether the driver
// has closed the connection. False for anything that is not an open socket connection.
bool SocketDevicePath(void* native_handle, std::string* path);
bool SocketDeviceClosedByDriver(void* native_handle);
// Makes the connection notice the driver closing it even while no request is outstanding (a
// connection used only synchronously otherwise learns of it at its next request).
void WatchSocketDeviceClose(void* native_handle);

// Appends what the socket has ready to *inbox without waiting. False when the stream has ended
// or failed (what came before the end is appended all the same).
bool DrainSocket(int fd, std::vector<unsigned char>* inbox);

}  // namespace platform
