// A small in-process driver for device manager tests: named controllers that record every
// request, keep wait requests outstanding until the test completes them, and can vanish.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/device_io.h"

namespace fake {

inline constexpr uint32_t kWaitClutchEvent = 0x223634;
inline constexpr uint32_t kSetClutchText = 0x22363C;
inline constexpr uint32_t kSetClutchMode = 0x222844;

struct Request {
  uint32_t code;
  std::vector<unsigned char> input;
};

class Connection;

// The controllers, served as "sim:NAME". Registers itself as the in-process provider while alive.
class Controllers : public platform::DeviceProvider {
 public:
  Controllers();
  ~Controllers() override;

  void Add(const std::string& name);
  // Completes the controller's outstanding clutch wait with the two words, then waits until the
  // service has handled it (a new clutch wait is outstanding). False after five seconds.
  bool RaiseClutch(const std::string& name, uint16_t engaged, uint16_t type);
  // Completes the outstanding clutch wait, if any, without waiting for the service.
  bool CompleteClutch(const std::string& name, uint16_t engaged, uint16_t type);
  // Waits up to five seconds until a clutch wait of the controller is outstanding.
  bool ClutchWaitOutstanding(const std::string& name);
  std::vector<Request> Requests(const std::string& name);
  int OpenConnections(const std::string& name);

  platform::DeviceConnection* Open(std::u16string_view path, platform::DeviceAccess access,
                                   bool overlapped, uint32_t* error) override;

 private:
  friend class Connection;
  struct Pending {
    Connection* connection;
    platform::Overlapped* overlapped;
    void* output;
    uint32_t output_size;
    uint32_t code;
  };
  struct Device {
    std::vector<Request> requests;
    std::vector<Pending> waits;
    uint64_t clutch_waits_issued = 0;
    int connections = 0;
  };
  // mutex_ held.
  void Complete(Pending pending, uint32_t status, const void* data, uint32_t size);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Device> devices_;
};

}  // namespace fake
