// The in-process test driver of fake_controllers.h.
#include "devices/fake_controllers.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/text.h"

namespace fake {
namespace {

struct Result {
  bool done;
  uint32_t status;
  uint32_t returned;
};
static_assert(sizeof(Result) <= sizeof(platform::Overlapped::os));

Result& ResultOf(platform::Overlapped& overlapped) {
  return *reinterpret_cast<Result*>(overlapped.os);
}

constexpr auto kDeadline = std::chrono::seconds(5);

// The requests that stay outstanding until an event (or a cancel) ends them; reads too.
bool IsWait(uint32_t code) {
  switch (code) {
    case 0x222824: case 0x22283C: case 0x222840: case 0x223058: case 0x223080:
    case kWaitClutchEvent: case 0xFFFFFFFF:
      return true;
    default:
      return false;
  }
}

}  // namespace

class Connection final : public platform::DeviceConnection {
 public:
  Connection(Controllers* owner, std::string name) : owner_(owner), name_(std::move(name)) {}
  ~Connection() override {
    std::lock_guard<std::mutex> hold(owner_->mutex_);
    auto& device = owner_->devices_[name_];
    for (auto it = device.waits.begin(); it != device.waits.end();) {
      if (it->connection == this) {
        owner_->Complete(*it, platform::kErrorOperationAborted, nullptr, 0);
        it = device.waits.erase(it);
      } else {
        ++it;
      }
    }
    --device.connections;
  }

  bool Control(uint32_t code, const void* input, uint32_t input_size, void* output,
               uint32_t output_size, uint32_t* returned) override {
    std::lock_guard<std::mutex> hold(owner_->mutex_);
    Record(code, input, input_size);
    *returned = 0;
    // Requests that are not waits succeed with no output, except the device type, which fails
    // so that a session's setup ends early.
    return code != 0x223000 && output_size == 0;
  }

  bool IssueControl(uint32_t code, const void* input, uint32_t input_size, void* output,
                    uint32_t output_size, platform::Overlapped& overlapped) override {
    if (!IsWait(code)) {
      // Answered at once, as by Control.
      uint32_t returned = 0;
      const bool ok = Control(code, input, input_size, output, output_size, &returned);
      std::lock_guard<std::mutex> hold(owner_->mutex_);
      ResultOf(overlapped) = Result{true, ok ? 0u : platform::kErrorGenFailure, returned};
      overlapped.done->Set();
      owner_->changed_.notify_all();
      return true;
    }
    std::lock_guard<std::mutex> hold(owner_->mutex_);
    Record(code, input, input_size);
    ResultOf(overlapped) = Result{false, 0, 0};
    auto& device = owner_->devices_[name_];
    device.waits.push_back({this, &overlapped, output, output_size, code});
    if (code == kWaitClutchEvent) ++device.clutch_waits_issued;
    owner_->changed_.notify_all();
    return true;
  }

  bool IssueRead(void* buffer, uint32_t size, platform::Overlapped& overlapped) override {
    return IssueControl(0xFFFFFFFF, nullptr, 0, buffer, size, overlapped);
  }

  bool GetResult(platform::Overlapped& overlapped, uint32_t* returned, bool wait) override {
    std::unique_lock<std::mutex> hold(owner_->mutex_);
    Result& result = ResultOf(overlapped);
    if (wait) owner_->changed_.wait(hold, [&result] { return result.done; });
    if (!result.done) return false;
    *returned = result.returned;
    return result.status == 0;
  }

  void Cancel(platform::Overlapped& overlapped) override {
    std::lock_guard<std::mutex> hold(owner_->mutex_);
    auto& waits = owner_->devices_[name_].waits;
    auto found = std::find_if(waits.begin(), waits.end(),
                              [&](const auto& p) { return p.overlapped == &overlapped; });
    if (found == waits.end()) return;
    owner_->Complete(*found, platform::kErrorOperationAborted, nullptr, 0);
    waits.erase(found);
  }

  bool InputReportLength(uint16_t* length) override { return false; }

 private:
  void Record(uint32_t code, const void* input, uint32_t size) {
    const auto* bytes = static_cast<const unsigned char*>(input);
    owner_->devices_[name_].requests.push_back(
        {code, std::vector<unsigned char>(bytes, bytes + (input ? size : 0))});
  }

  Controllers* owner_;
  std::string name_;
};

Controllers::Controllers() { platform::SetInProcessDeviceProvider(this); }

Controllers::~Controllers() { platform::SetInProcessDeviceProvider(nullptr); }

void Controllers::Add(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  devices_[name];
}

platform::DeviceConnection* Controllers::Open(std::u16string_view path,
                                              platform::DeviceAccess access, bool overlapped,
                                              uint32_t* error) {
  const std::string name = platform::ToUtf8(path.substr(4));  // after "sim:"
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = devices_.find(name);
  if (found == devices_.end()) {
    *error = platform::kErrorFileNotFound;
    return nullptr;
  }
  ++found->second.connections;
  return new Connection(this, name);
}

void Controllers::Complete(Pending pending, uint32_t status, const void* data, uint32_t size) {
  const uint32_t copied = std::min(size, pending.output_size);
  if (copied > 0 && data != nullptr) std::memcpy(pending.output, data, copied);
  ResultOf(*pending.overlapped) = Result{true, status, copied};
  pending.overlapped->done->Set();
  changed_.notify_all();
}

bool Controllers::ClutchWaitOutstanding(const std::string& name) {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, kDeadline, [&] {
    const auto& waits = devices_[name].waits;
    return std::any_of(waits.begin(), waits.end(),
                       [](const Pending& p) { return p.code == kWaitClutchEvent; });
  });
}

bool Controllers::RaiseClutch(const std::string& name, uint16_t engaged, uint16_t type) {
  if (!ClutchWaitOutstanding(name)) return false;
  std::unique_lock<std::mutex> hold(mutex_);
  Device& device = devices_[name];
  auto found = std::find_if(device.waits.begin(), device.waits.end(),
                            [](const Pending& p) { return p.code == kWaitClutchEvent; });
  if (found == device.waits.end()) return false;
  const uint64_t issued = device.clutch_waits_issued;
  const uint16_t words[2] = {engaged, type};
  Complete(*found, 0, words, sizeof words);
  device.waits.erase(found);
  return changed_.wait_for(hold, kDeadline,
                           [&] { return devices_[name].clutch_waits_issued > issued; });
}

bool Controllers::CompleteClutch(const std::string& name, uint16_t engaged, uint16_t type) {
  std::lock_guard<std::mutex> hold(mutex_);
  Device& device = devices_[name];
  auto found = std::find_if(device.waits.begin(), device.waits.end(),
                            [](const Pending& p) { return p.code == kWaitClutchEvent; });
  if (found == device.waits.end()) return false;
  const uint16_t words[2] = {engaged, type};
  Complete(*found, 0, words, sizeof words);
  device.waits.erase(found);
  return true;
}

std::vector<Request> Controllers::Requests(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  return devices_[name].requests;
}

int Controllers::OpenConnections(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  return devices_[name].connections;
}

}  // namespace fake
