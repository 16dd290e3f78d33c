// DriverChannel: the handle through which every request to the controllers' driver goes.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/device_io.h"

// The driver's control device, opened when neither the interface path nor the device's legacy
// link can be.
inline constexpr char16_t kControlDevicePath[] = u"\\\\.\\VexmoorLegacyDevice";
// Units of a legacy link name buffer, terminator included.
inline constexpr uint32_t kLegacyLinkUnits = 32;

// An open device with an owns flag (the channel closes the handle) and an overlapped flag
// (Control then waits for each request itself). One thread uses a channel at a time.
class DriverChannel {
 public:
  DriverChannel() = default;
  // Borrows handle, which someone else owns and closes; Close only forgets it.
  DriverChannel(platform::DeviceHandle handle, bool overlapped);
  ~DriverChannel() { Close(); }
  DriverChannel(const DriverChannel&) = delete;
  DriverChannel& operator=(const DriverChannel&) = delete;

  // Opens path for reading and writing, shared; if that fails, the device's legacy link, and
  // if it has none, the control device. True when a handle is open.
  bool Open(std::u16string_view path, bool overlapped);
  // Sends one request and waits for its answer. False on a closed channel (the device is not
  // touched) or a failed request; a failed request leaves the output as the caller prepared it.
  bool Control(uint32_t code, const void* input, uint32_t input_size, void* output,
               uint32_t output_size);
  // Closes the handle if owned and open, and marks the channel closed.
  void Close();

  bool IsOpen() const { return handle_ != nullptr; }
  platform::DeviceHandle handle() const { return handle_; }
  bool owns() const { return owns_; }
  bool overlapped() const { return overlapped_; }

 private:
  platform::DeviceHandle handle_ = nullptr;
  bool owns_ = false;
  bool overlapped_ = false;
};

// The device instance identifier of an interface path: leading '\' and '?' skipped, the text up
// to the last '#', each '#' replaced by '\' ("\\?\A#B#C#{class}" gives "A\B\C"). False when the
// path has no '#' or the identifier would be 260 units or longer.
bool InstanceIdFromInterfacePath(std::u16string_view path, std::u16string* instance_id);

// Reads the LegacyLink value of the device behind an interface path from its driver key below
// System\CurrentControlSet\Control\Class into name (kLegacyLinkUnits units, terminated).
bool FindLegacyLink(std::u16string_view device_path, char16_t* name);
