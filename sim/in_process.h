// The in-process transport of the simulated driver: serves the simulated paths ("\\?\SIM#..."
// and "sim:...") to the OS seam, so that the real service code opens and talks to simulated
// controllers through the same device calls as to real ones.
#pragma once

#include "platform/device_io.h"
#include "sim/model.h"

namespace sim {

// Registers itself as the seam's in-process device provider for its lifetime. The model must
// outlive the transport and every handle opened through it.
class InProcessTransport : public platform::DeviceProvider {
 public:
  explicit InProcessTransport(DriverModel& model);
  ~InProcessTransport() override;
  InProcessTransport(const InProcessTransport&) = delete;
  InProcessTransport& operator=(const InProcessTransport&) = delete;

  platform::DeviceConnection* Open(std::u16string_view path, platform::DeviceAccess access,
                                   bool overlapped, uint32_t* error) override;

 private:
  DriverModel& model_;
};

}  // namespace sim
