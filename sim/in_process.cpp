// In-process device handles on the simulated driver: requests go to the model, completions come
// back through callbacks that fill the caller's buffers and signal its event.
#include "sim/in_process.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

namespace sim {
namespace {

// What the connection keeps in an Overlapped record's OS area. Read and written only under the
// connection's mutex.
struct RequestSlot {
  enum State : uint32_t { kNone = 0, kPending = 1, kDone = 2 };
  uint32_t state = kNone;
  uint32_t status = 0;
  uint32_t returned = 0;
  RequestId request = 0;
};
static_assert(sizeof(RequestSlot) <= sizeof(platform::Overlapped::os));

RequestSlot LoadSlot(const platform::Overlapped& overlapped) {
  RequestSlot slot;
  std::memcpy(&slot, overlapped.os, sizeof(slot));
  return slot;
}

void StoreSlot(platform::Overlapped& overlapped, const RequestSlot& slot) {
  std::memcpy(overlapped.os, &slot, sizeof(slot));
}

class InProcessConnection : public platform::DeviceConnection {
 public:
  InProcessConnection(DriverModel& model, ConnectionId id) : model_(model), id_(id) {}
  ~InProcessConnection() override { model_.Disconnect(id_); }

  bool Control(uint32_t code, const void* input, uint32_t input_size, void* output,
               uint32_t output_size, uint32_t* returned) override;
  bool IssueControl(uint32_t code, const void* input, uint32_t input_size, void* output,
                    uint32_t output_size, platform::Overlapped& overlapped) override {
    return Issue(code, input, input_size, output, output_size, overlapped);
  }
  bool IssueRead(void* buffer, uint32_t size, platform::Overlapped& overlapped) override {
    return Issue(kReadRequest, nullptr, 0, buffer, size, overlapped);
  }
  bool GetResult(platform::Overlapped& overlapped, uint32_t* returned, bool wait) override;
  void Cancel(platform::Overlapped& overlapped) override;
  bool Drain(platform::Overlapped& overlapped, uint32_t limit_ms) override;
  bool InputReportLength(uint16_t* length) override {
    return model_.InputReportLength(id_, length);
  }

 private:
  bool Issue(uint32_t code, const void* input, uint32_t input_size, void* output,
             uint32_t output_size, platform::Overlapped& overlapped);

  // Where a request's answer goes: the caller's record and buffer. Under mutex_; a request
  // abandoned by Drain is no longer here, and its late answer goes nowhere.
  struct Target {
    platform::Overlapped* record;
    void* output;
    uint32_t output_size;
  };

  DriverModel& model_;
  const ConnectionId id_;
  std::atomic<RequestId> next_request_{1};
  std::mutex mutex_;
  std::condition_variable completed_;
  std::map<RequestId, Target> targets_;
};

// Copies an answer into the caller's buffer.
uint32_t CopyOutput(const std::vector<uint8_t>& output, void* buffer, uint32_t capacity) {
  uint32_t size = output.size() < capacity ? static_cast<uint32_t>(output.size()) : capacity;
  if (size > 0) std::memcpy(buffer, output.data(), size);
  return size;
}

bool InProcessConnection::Control(uint32_t code, const void* input, uint32_t input_size,
                                  void* output, uint32_t output_size, uint32_t* returned) {
  struct Waiter {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    uint32_t status = 0;
    uint32_t returned = 0;
  } waiter;
  auto complete = [&waiter, output, output_size](uint32_t status,
                                                 const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> hold(waiter.mutex);
    if (status == 0) waiter.returned = CopyOutput(bytes, output, output_size);
    waiter.status = status;
    waiter.finished = true;
    waiter.done.notify_all();
  };
  uint32_t error = 0;
  if (!model_.Submit(id_, next_request_++, code, static_cast<const uint8_t*>(input), input_size,
                     output_size, complete, &error)) {
    return false;
  }
  std::unique_lock<std::mutex> lock(waiter.mutex);
  waiter.done.wait(lock, [&waiter] { return waiter.finished; });
  if (returned != nullptr) *returned = waiter.returned;
  return waiter.status == 0;
}

bool InProcessConnection::Issue(uint32_t code, const void* input, uint32_t input_size, void* output,
                                uint32_t output_size, platform::Overlapped& overlapped) {
  RequestId request = next_request_++;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    StoreSlot(overlapped, RequestSlot{RequestSlot::kPending, 0, 0, request});
    targets_[request] = Target{&overlapped, output, output_size};
  }
  auto complete = [this, request](uint32_t status, const std::vector<uint8_t>& bytes) {
    // The slot, the event and the notification change together under the mutex, so that the
    // caller cannot see the request done, and free its record, before this returns.
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = targets_.find(request);
    if (found == targets_.end()) return;  // abandoned
    const Target target = found->second;
    targets_.erase(found);
    platform::Overlapped* record = target.record;
    void* output = target.output;
    const uint32_t output_size = target.output_size;
    RequestSlot slot = LoadSlot(*record);
    slot.state = RequestSlot::kDone;
    slot.status = status;
    slot.returned = status == 0 ? CopyOutput(bytes, output, output_size) : 0;
    StoreSlot(*record, slot);
    record->done->Set();
    completed_.notify_all();
  };
  uint32_t error = 0;
  if (model_.Submit(id_, request, code, static_cast<const uint8_t*>(input), input_size, output_size,
                    complete, &error)) {
    return true;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  targets_.erase(request);
  StoreSlot(overlapped, RequestSlot{RequestSlot::kDone, error, 0, request});
  return false;
}

bool InProcessConnection::GetResult(platform::Overlapped& overlapped, uint32_t* returned,
                                    bool wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (LoadSlot(overlapped).state == RequestSlot::kPending && wait) {
    completed_.wait(lock,
                    [&overlapped] { return LoadSlot(overlapped).state != RequestSlot::kPending; });
  }
  RequestSlot slot = LoadSlot(overlapped);
  if (slot.state != RequestSlot::kDone) return false;
  if (returned != nullptr) *returned = slot.returned;
  return slot.status == 0;
}

void InProcessConnection::Cancel(platform::Overlapped& overlapped) {
  RequestSlot slot;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    slot = LoadSlot(overlapped);
  }
  if (slot.state == RequestSlot::kPending) model_.Cancel(id_, slot.request);
}

bool InProcessConnection::Drain(platform::Overlapped& overlapped, uint32_t limit_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool ended = completed_.wait_for(lock, std::chrono::milliseconds(limit_ms), [&overlapped] {
    return LoadSlot(overlapped).state != RequestSlot::kPending;
  });
  if (ended) return true;
  RequestSlot slot = LoadSlot(overlapped);
  targets_.erase(slot.request);
  slot.state = RequestSlot::kDone;
  slot.status = platform::kErrorOperationAborted;
  slot.returned = 0;
  StoreSlot(overlapped, slot);
  return false;
}

}  // namespace

InProcessTransport::InProcessTransport(DriverModel& model) : model_(model) {
  platform::SetInProcessDeviceProvider(this);
}

InProcessTransport::~InProcessTransport() { platform::SetInProcessDeviceProvider(nullptr); }

platform::DeviceConnection* InProcessTransport::Open(std::u16string_view path,
                                                     platform::DeviceAccess access, bool overlapped,
                                                     uint32_t* error) {
  ConnectionId id = model_.Connect(path, error);
  if (id == 0) return nullptr;
  return new InProcessConnection(model_, id);
}

}  // namespace sim
