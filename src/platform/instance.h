// The named single-instance guard of the process.
#pragma once

#include <string_view>

namespace platform {

enum class InstanceGuard { kAcquired, kAlreadyRunning, kFailed };

// Windows: OpenMutexW succeeds, or it or CreateMutexW is refused access (an instance with higher
// rights) → another instance runs; else the mutex CreateMutexW made stays open for the life of
// the process. Linux: flock on a lock file named after the instance in the runtime folder.
InstanceGuard AcquireInstanceGuard(std::u16string_view name);

}  // namespace platform
