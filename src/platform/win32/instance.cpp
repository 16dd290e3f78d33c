// The single-instance guard on Windows: a named mutex whose handle stays open for the life of the
// process; only its existence matters.
#include "platform/instance.h"

#include <windows.h>

#include <string>

namespace platform {

InstanceGuard AcquireInstanceGuard(std::u16string_view name) {
  const std::wstring wide(name.begin(), name.end());
  if (HANDLE existing = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, wide.c_str()); existing != nullptr) {
    return InstanceGuard::kAlreadyRunning;
  }
  HANDLE mutex = CreateMutexW(nullptr, FALSE, wide.c_str());
  return mutex != nullptr ? InstanceGuard::kAcquired : InstanceGuard::kFailed;
}

}  // namespace platform
