// Opening and closing device handles: routes simulated paths to the in-process provider and
// everything else to the OS; remembers the last open error per thread.
#include "platform/device_io.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "platform/device_io_os.h"

namespace platform {
namespace {

// Opens hold the slot shared; replacing the provider waits for opens in progress, so that a
// provider that was removed is never called again.
std::shared_mutex& ProviderLock() {
  static std::shared_mutex* lock = new std::shared_mutex;
  return *lock;
}

DeviceProvider* g_provider = nullptr;  // guarded by ProviderLock()
thread_local uint32_t t_last_error = kErrorSuccess;
std::atomic<uint32_t> g_request_time_limit_ms{10000};

char16_t FoldAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c; }

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
  }
  return true;
}

}  // namespace

bool IsInProcessDevicePath(std::u16string_view path) {
  return StartsWithNoCase(path, u"\\\\?\\SIM#") || StartsWithNoCase(path, u"sim:");
}

void SetInProcessDeviceProvider(DeviceProvider* provider) {
  std::unique_lock<std::shared_mutex> hold(ProviderLock());
  g_provider = provider;
}

DeviceHandle OpenDevice(std::u16string_view path, DeviceAccess access, bool overlapped) {
  uint32_t error = kErrorGenFailure;
  DeviceConnection* connection = nullptr;
  if (IsInProcessDevicePath(path)) {
    std::shared_lock<std::shared_mutex> hold(ProviderLock());
    if (g_provider == nullptr) {
      error = kErrorFileNotFound;
    } else {
      connection = g_provider->Open(path, access, overlapped, &error);
    }
  } else {
    connection = OpenOsDevice(path, access, overlapped, &error);
  }
  if (connection == nullptr && error == kErrorSuccess) error = kErrorGenFailure;
  if (connection == nullptr) t_last_error = error;
  return connection;
}

void CloseDevice(DeviceHandle handle) { delete handle; }

uint32_t RequestTimeLimitMs() { return g_request_time_limit_ms.load(std::memory_order_relaxed); }

void SetRequestTimeLimitMs(uint32_t ms) {
  g_request_time_limit_ms.store(ms, std::memory_order_relaxed);
}

uint32_t LastDeviceError() { return t_last_error; }

}  // namespace platform
