// Devices of the stand-in kernel driver (sim/windows-driver): one root-enumerated device per
// simulated controller, each installed on its own, so that installing one never restarts the
// others.
#pragma once

#include <string>

namespace sim {

// Creates the device ROOT\SKYHELMSIM\<name> and installs the driver of inf on it alone. The
// driver's files are copied only when this build of them is not in the system yet (once per
// Wine prefix and build). *instance is the device's instance id.
bool CreateStandInDevice(const std::wstring& inf, const std::wstring& name,
                         std::wstring* instance, std::string* error);
bool RemoveStandInDevice(const std::wstring& instance);
// Removes every device of the stand-in driver; how many it removed.
int RemoveStandInDevices();

}  // namespace sim
