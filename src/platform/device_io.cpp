// Opening and closing device handles: routes simulated paths to the in-process provider and
// everything else to the OS; remembers the last open error per thread.
#include "platform/device_io.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <system_error>
#include <thread>

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
std::atomic<uint32_t> g_open_time_limit_ms{5000};
std::atomic<uint32_t> g_cancel_grace_ms{2000};

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

namespace {

// The open itself, on whichever thread runs it. Null with *error set on failure. An in-process
// path needs the provider slot held shared (provider_held: by the caller).
DeviceConnection* OpenNow(const std::u16string& path, DeviceAccess access, bool overlapped,
                          uint32_t* error, bool provider_held = false) {
  *error = kErrorGenFailure;
  DeviceConnection* connection = nullptr;
  if (IsInProcessDevicePath(path)) {
    std::shared_lock<std::shared_mutex> hold(ProviderLock(), std::defer_lock);
    if (!provider_held) hold.lock();
    if (g_provider == nullptr) {
      *error = kErrorFileNotFound;
    } else {
      connection = g_provider->Open(path, access, overlapped, error);
    }
  } else {
    connection = OpenOsDevice(path, access, overlapped, error);
  }
  if (connection == nullptr && *error == kErrorSuccess) *error = kErrorGenFailure;
  return connection;
}

// One open run on a helper thread, shared by the helper and the caller that waits for it: the
// last of the two to let go frees it. A caller that gives up marks it abandoned, and the helper
// then closes whatever the driver grants late.
struct OpenJob {
  std::u16string path;
  DeviceAccess access = DeviceAccess::kRead;
  bool overlapped = false;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;       // guarded by mutex
  bool abandoned = false;  // guarded by mutex
  DeviceConnection* connection = nullptr;
  uint32_t error = kErrorGenFailure;
};

void RunOpenJob(const std::shared_ptr<OpenJob>& job) {
  // An in-process connection granted late is closed before its provider may go.
  std::shared_lock<std::shared_mutex> provider(ProviderLock(), std::defer_lock);
  if (IsInProcessDevicePath(job->path)) provider.lock();
  uint32_t error = kErrorGenFailure;
  DeviceConnection* connection =
      OpenNow(job->path, job->access, job->overlapped, &error, provider.owns_lock());
  {
    std::lock_guard<std::mutex> hold(job->mutex);
    job->done = true;
    if (!job->abandoned) {
      job->connection = connection;
      job->error = error;
      connection = nullptr;
    }
  }
  job->finished.notify_all();
  // Granted after the caller gave up: nobody will use it.
  delete connection;
}

// Runs the open on a helper thread and waits up to the open time limit. An open that the
// driver never answers keeps its helper blocked in the OS until the driver ends it (at the
// latest when the device goes) or the process ends; the helper holds only the job, never the
// caller's memory, so it is let go (detached) rather than joined.
DeviceConnection* OpenWithinLimit(std::u16string_view path, DeviceAccess access, bool overlapped,
                                  uint32_t* error) {
  std::shared_ptr<OpenJob> job;
  try {
    job = std::make_shared<OpenJob>();
    job->path.assign(path);
  } catch (const std::bad_alloc&) {
    *error = kErrorGenFailure;
    return nullptr;
  }
  job->access = access;
  job->overlapped = overlapped;
  std::thread helper;
  try {
    helper = std::thread(RunOpenJob, job);
  } catch (const std::system_error&) {
    // No thread to spare: open here, unbounded, rather than not at all.
    return OpenNow(job->path, access, overlapped, error);
  }
  std::unique_lock<std::mutex> hold(job->mutex);
  const bool in_time = job->finished.wait_for(
      hold, std::chrono::milliseconds(OpenTimeLimitMs()),
      [&job] { return job->done; });
  if (!in_time) {
    job->abandoned = true;
    hold.unlock();
    helper.detach();
    *error = kErrorTimeout;
    return nullptr;
  }
  DeviceConnection* connection = job->connection;
  *error = job->error;
  hold.unlock();
  helper.join();
  return connection;
}

}  // namespace

DeviceHandle OpenDevice(std::u16string_view path, DeviceAccess access, bool overlapped) {
  uint32_t error = kErrorGenFailure;
  DeviceConnection* connection = nullptr;
  if (!IsInProcessDevicePath(path) && OsOpenIsBounded()) {
    connection = OpenNow(std::u16string(path), access, overlapped, &error);
  } else {
    connection = OpenWithinLimit(path, access, overlapped, &error);
  }
  if (connection == nullptr) t_last_error = error;
  return connection;
}

void CloseDevice(DeviceHandle handle) { delete handle; }

uint32_t RequestTimeLimitMs() { return g_request_time_limit_ms.load(std::memory_order_relaxed); }

void SetRequestTimeLimitMs(uint32_t ms) {
  g_request_time_limit_ms.store(ms, std::memory_order_relaxed);
}

uint32_t OpenTimeLimitMs() { return g_open_time_limit_ms.load(std::memory_order_relaxed); }

void SetOpenTimeLimitMs(uint32_t ms) { g_open_time_limit_ms.store(ms, std::memory_order_relaxed); }

uint32_t CancelGraceMs() { return g_cancel_grace_ms.load(std::memory_order_relaxed); }

void SetCancelGraceMs(uint32_t ms) { g_cancel_grace_ms.store(ms, std::memory_order_relaxed); }

uint32_t LastDeviceError() { return t_last_error; }

}  // namespace platform
