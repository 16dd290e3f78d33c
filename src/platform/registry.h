// Reads of string values under HKEY_LOCAL_MACHINE. On Linux the registry is a folder of files
// under $SKYHELM_ROOT/registry/HKLM (one file per value, UTF-8 text whose one final line break
// is not part of the value, names matched without regard to case).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Reads value_name of key_path (backslash-separated, below HKEY_LOCAL_MACHINE) into buffer,
// which holds buffer_units UTF-16 units. Succeeds only when the value exists and its text with
// a terminator fits; the text is taken up to its first NUL. A value that fills the buffer
// without a terminator fails.
bool ReadMachineString(std::u16string_view key_path, std::u16string_view value_name,
                       char16_t* buffer, uint32_t buffer_units);

// The names of the values of key_path (below HKEY_LOCAL_MACHINE); false when the key does not
// exist or cannot be read.
bool MachineValueNames(std::u16string_view key_path, std::vector<std::u16string>* names);

// The name of the driver key (below System\CurrentControlSet\Control\Class) of the present
// device whose instance identifier is instance_id (for example "USB\VID_1234&PID_5678\0001").
// buffer holds buffer_units units. False when no such device or no driver key.
// On Linux the identifier's "Driver" value under System\CurrentControlSet\Enum stands in.
bool DeviceDriverKey(std::u16string_view instance_id, char16_t* buffer, uint32_t buffer_units);

}  // namespace platform
