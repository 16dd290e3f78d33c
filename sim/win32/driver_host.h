// The user-mode host of the kernel-mode stand-in driver (sim/windows-driver): the third
// transport of the simulated driver, beside in-process and sockets. It serves the driver's
// forwarded requests from the model, so that a real service process talking to real device
// handles is answered by the same model, with the same trace, as on the other transports.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/model.h"

namespace sim {

// One forwarded request or notice of the driver, as the host received it.
struct HostMessage {
  uint32_t kind = 0;  // SKYHELM_HOST_CREATE ... (sim/windows-driver/host_protocol.h)
  uint64_t tag = 0;
  uint64_t file = 0;  // the handle it came on
  uint32_t code = 0;
  const uint8_t* input = nullptr;
  uint32_t input_size = 0;
  uint32_t output_capacity = 0;
  std::u16string link;  // the controller's interface link; empty for the legacy control device
};

// Sees every message before the model does (the hostile mode, sim/win32/hostile_host.h). It is
// called on the host's thread, one message at a time, in the driver's order.
class HostInterceptor {
 public:
  virtual ~HostInterceptor() = default;
  // True when it has dealt with the message itself; false lets the model serve it.
  virtual bool Intercept(const HostMessage& message) = 0;
};

class DriverHost {
 public:
  explicit DriverHost(DriverModel& model);
  ~DriverHost();  // Stop()
  DriverHost(const DriverHost&) = delete;
  DriverHost& operator=(const DriverHost&) = delete;

  // Opens the driver's host control device, waiting up to timeout_ms for the driver to create
  // it, and starts serving (again, after the driver ended the service). False, with *error,
  // when it cannot.
  bool Start(uint32_t timeout_ms, std::string* error);
  bool serving() const { return serve_ != INVALID_HANDLE_VALUE && !ended_; }
  // Waits up to timeout_ms for the driver to end the service, as it does when its last
  // controller goes (the host device goes with it); whether it has ended.
  bool WaitEnded(uint32_t timeout_ms);
  // Requests on the device instance (for example ROOT\SKYHELMSIM\0003) go to the model's
  // controller name.
  void MapDevice(const std::u16string& instance_id, const std::string& name);
  // Closes the host handle: the driver fails every request it still holds for the host.
  void Stop();

  // Before Start: every message goes to interceptor first, and a request that its sender
  // cancels stays held until the host answers it (the interceptor decides how).
  void SetInterceptor(HostInterceptor* interceptor) { interceptor_ = interceptor; }
  // Serves a message from the model, as when no interceptor takes it (the interceptor's
  // requests that it lets through late). The input need only live for the call.
  void Serve(const HostMessage& message);
  // Completes the forwarded request tag with an NTSTATUS and output (cut by the driver to the
  // request's capacity); false when the driver did not take the answer.
  bool AnswerStatus(uint64_t tag, int32_t status, const uint8_t* output, uint32_t bytes);
  // The controller name of a forwarded device link; empty when none.
  std::string NameOf(const std::u16string& link);

 private:
  struct File {
    ConnectionId connection = 0;
    std::u16string device;
  };
  void Loop();
  void Handle(const uint8_t* message, uint32_t size);
  // Completes the forwarded request tag; false when the driver did not take the answer (the
  // request was cancelled meanwhile, or the host has stopped).
  bool Answer(uint64_t tag, uint32_t error, const uint8_t* output, uint32_t bytes);
  void Create(uint64_t tag, uint64_t file, const std::u16string& link);

  DriverModel& model_;
  // Overlapped: SERVE, NEXT and ANSWER (the driver takes answers from the serving handle only).
  // Answers come from the model's threads; serve_mutex_ keeps Stop from closing the handle
  // under one of them.
  HANDLE serve_ = INVALID_HANDLE_VALUE;
  std::shared_mutex serve_mutex_;
  HANDLE stop_ = nullptr;
  HANDLE ended_event_ = nullptr;     // set when Loop ends
  std::atomic<bool> ended_{false};   // Loop has ended: the service is over
  HostInterceptor* interceptor_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;  // devices_ and files_
  std::map<std::u16string, std::string> devices_;  // upper-case instance id with '#' -> name
  std::map<uint64_t, File> files_;
};

// The NTSTATUS that the driver completes a request with for a Windows error code.
int32_t NtStatusOf(uint32_t error);

}  // namespace sim
