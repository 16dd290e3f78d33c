// The single-instance guard on Windows: a named mutex kept open for the life of the process.
#include "platform/instance.h"

#include <windows.h>

#include <string>

namespace platform {

InstanceGuard AcquireInstanceGuard(std::u16string_view name) {
  std::u16string text(name);
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.c_str());
  HANDLE existing = OpenMutexW(SYNCHRONIZE, FALSE, wide);
  if (existing != nullptr) {
    CloseHandle(existing);
    return InstanceGuard::kAlreadyRunning;
  }
  // A mutex that exists but refuses us was made by an instance running with higher rights.
  if (GetLastError() == ERROR_ACCESS_DENIED) return InstanceGuard::kAlreadyRunning;
  HANDLE mutex = CreateMutexW(nullptr, FALSE, wide);
  if (mutex == nullptr) {
    return GetLastError() == ERROR_ACCESS_DENIED ? InstanceGuard::kAlreadyRunning
                                                 : InstanceGuard::kFailed;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    // Another instance created it between the two calls.
    CloseHandle(mutex);
    return InstanceGuard::kAlreadyRunning;
  }
  // The handle stays open, and the name taken, until the process ends.
  return InstanceGuard::kAcquired;
}

}  // namespace platform
