// The path of a profile the driver holds: asking the driver for it and making it a full path.
#pragma once

#include <cstdint>
#include <string>

class DriverChannel;

// Asks the driver for the path of profile_id. On success *path holds the path as answered and
// *absolute tells whether it is absolute (else relative to the Windows folder). A reply saying
// the buffer was too small is asked for once more with a buffer of the announced size; a path
// that does not fit platform::kMaxPath units with its terminator fails.
bool QueryProfilePath(DriverChannel& channel, uint32_t profile_id, std::u16string* path,
                      bool* absolute);

// An absolute path unchanged; a relative one appended to the Windows folder (the shell's, else
// the system's, else "C:\Windows"). Empty when the joined path would not fit kMaxPath units.
std::u16string ResolveProfilePath(const std::u16string& path, bool absolute);

// Both of the above for the profile the driver reports as active on channel: the full path, or
// empty when the driver cannot tell it.
std::u16string QueryActiveProfilePath(DriverChannel& channel);
