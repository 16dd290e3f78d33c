// The driver side of the Linux socket transport: publishes in-process devices (any
// platform::DeviceProvider, normally the simulated driver) as sockets in the device folder and
// carries each connection's framed requests to a connection of the provider.
#pragma once

#include <memory>
#include <string>

#include "platform/device_io.h"

namespace sim {

class SocketServer {
 public:
  // Serves sockets in folder (created when missing) from provider, which must outlive the server.
  SocketServer(std::string folder, platform::DeviceProvider* provider);
  ~SocketServer();  // removes every published socket and closes every connection
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  // Publishes socket_name (a file name in the folder); connections to it open provider_path on
  // the provider. False when the socket cannot be created.
  bool Publish(const std::string& socket_name, const std::u16string& provider_path);
  // Removes the socket and closes the connections made to it (a device removal).
  void Unpublish(const std::string& socket_name);
  const std::string& folder() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace sim
