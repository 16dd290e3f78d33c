// The simulated driver's inner records, shared by the files of the model.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "sim/json.h"
#include "sim/model.h"

#include "platform/device_io.h"

namespace sim {

// A wait request or input report read held until an event, a cancel or removal ends it.
struct DriverModel::Pending {
  ConnectionId connection = 0;
  RequestId request = 0;
  uint32_t code = 0;
  uint32_t capacity = 0;
  std::vector<uint8_t> input;
  Completion done;
};

struct DriverModel::Controller {
  std::string name;
  ControllerState state;
  uint64_t epoch = 0;                // counts removals: handles of an earlier presence are dead
  std::vector<Pending> outstanding;  // in issue order
  std::map<uint32_t, uint64_t> issued;
  std::map<uint32_t, uint32_t> fail_next;
  uint32_t fail_opens = 0;
  uint32_t delayed_opens = 0;
  uint32_t open_delay_ms = 0;
  uint32_t ignored_cancels = 0;
  std::deque<uint16_t> path_kinds;
  uint32_t delay_ms = 0;
  std::map<uint32_t, uint32_t> defer_until;  // request code to the wait code it waits for
  uint32_t defer_timeout_ms = 0;
  uint32_t next_profile_id = 1;
};

struct DriverModel::Connection {
  Controller* controller = nullptr;
  uint64_t epoch = 0;
  std::u16string path;
};

struct DriverModel::Delivery {
  ConnectionId connection = 0;
  Completion done;
  uint32_t status = 0;
  std::vector<uint8_t> output;
};

struct DriverModel::Reply {
  uint32_t status = 0;
  std::vector<uint8_t> output;
  bool hold = false;             // a wait or read: stays outstanding
  bool profile_changed = false;  // ends the outstanding profile-change waits afterwards
  JsonLine fields;               // decoded input, then answer fields
};

// Windows error codes the model answers with.
using platform::kErrorDeviceNotConnected;
using platform::kErrorFileNotFound;
using platform::kErrorInsufficientBuffer;
using platform::kErrorInvalidFunction;
using platform::kErrorInvalidHandle;
using platform::kErrorInvalidParameter;
using platform::kErrorOperationAborted;

// The trace name of a request code: its IOCTL_ name, "read", or the number in hexadecimal.
std::string TraceCodeName(uint32_t code);
// The output bytes a wait request of code must be able to hold.
uint32_t WaitReplyBytes(uint32_t code);
// Adds the answer fields of a completed wait or read to a trace record.
void DescribeWaitAnswer(uint32_t code, const std::vector<uint8_t>& output, JsonLine* fields);

}  // namespace sim
