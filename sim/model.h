// The simulated controllers' driver: per-controller state, the answers to every control code,
// wait requests held until an event completes them, fault injection and the trace. Transports
// (in-process, sockets) feed it requests and receive completions through callbacks; the model
// knows nothing of how requests arrive. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "driver/driver_buffers.h"
#include "platform/guid.h"
#include "sim/json.h"

namespace sim {

// Simulated defaults.
inline constexpr platform::Guid kDefaultDeviceType = {
    0x8E0C5B1A, 0x6F3D, 0x4C2B, {0x9A, 0x7E, 0x1D, 0x2F, 0x3A, 0x4B, 0x5C, 0x6D}};
inline constexpr platform::Guid kDefaultMember = {
    0x4A7D2E91, 0x3B6C, 0x4F80, {0xA1, 0xD5, 0x9E, 0x8C, 0x7B, 0x6A, 0x5F, 0x40}};
inline constexpr platform::Guid kDefaultController = {
    0xC3E1F5A7, 0x9B2D, 0x4E6F, {0x8A, 0x0C, 0x1B, 0x3D, 0x5F, 0x7E, 0x9A, 0x2C}};
// The controllers' device-interface class, as it appears in interface paths.
inline constexpr char16_t kInterfaceClassText[] = u"{19D936F8-BAC2-4636-82B7-BC2C35F33F2A}";

// The code under which HID input report reads are submitted and counted (no control code is 0).
inline constexpr uint32_t kReadRequest = 0;
// Status of a request that a fault injection fails.
inline constexpr uint32_t kInjectedFailure = 31;  // ERROR_GEN_FAILURE

struct ControllerConfig {
  platform::Guid device_type = kDefaultDeviceType;
  platform::Guid member = kDefaultMember;
  platform::Guid controller = kDefaultController;
  uint16_t input_report_length = 8;  // HID capabilities; 0 = no input reports
};

struct ProfileRecord {
  uint32_t id = 0;
  std::u16string path;
  uint16_t kind = 0;  // 0 absolute, 1 relative to the Windows folder
};

// A copy of what one controller holds and shows.
struct ControllerState {
  bool present = false;
  ControllerConfig config;
  std::vector<ProfileRecord> profiles;  // in load order
  uint32_t active_profile = 0;          // 0: none
  platform::Guid shift_state;
  ClutchWords clutch_state;  // answered to IOCTL_WAIT_CLUTCH_STATE
  uint32_t clutch_mode = 0;
  uint32_t shift_indicator = 0;
  uint32_t soft_buttons = 0;
  std::u16string clutch_text;
  // Display lines by the clear command of their string requests, trailing padding removed.
  std::map<uint16_t, std::u16string> display;
  uint32_t display_requests = 0;
};

// Identifies one open handle of a transport, and one request on it (chosen by the transport,
// unique per connection).
using ConnectionId = uint64_t;
using RequestId = uint64_t;

// Receives the answer of an accepted request exactly once: status 0 or a Windows error code,
// and the output (never more bytes than the capacity given). Called with the model's lock held:
// it must not call back into the model.
using Completion = std::function<void(uint32_t status, const std::vector<uint8_t>& output)>;

class DriverModel {
 public:
  DriverModel();
  ~DriverModel();  // every connection must have been disconnected
  DriverModel(const DriverModel&) = delete;
  DriverModel& operator=(const DriverModel&) = delete;

  // ---- Controllers, for tests and the scenario runner. Names are matched without regard to
  // ASCII case. Calls naming an unknown controller return false or -1.

  // A controller that is not present until Attach.
  bool Declare(const std::string& name, const ControllerConfig& config = {});
  bool Attach(const std::string& name);
  // Removes the controller: requests outstanding on it complete with
  // ERROR_DEVICE_NOT_CONNECTED, and its open handles stay dead even after a new Attach.
  bool Detach(const std::string& name);
  bool State(const std::string& name, ControllerState* out) const;
  // "\\?\SIM#VEXMOOR#<name>#{class}": the controller's device-interface path.
  static std::u16string InterfacePath(const std::string& name);
  // "sim:<name>": the same controller under a second name (what a legacy link names).
  static std::u16string LegacyLinkPath(const std::string& name);
  // The interface paths of the present controllers, in declaration order.
  std::vector<std::u16string> PresentInterfacePaths() const;

  // ---- Events. Each sets the driver's state and completes the matching outstanding wait
  // requests; returns how many it completed.
  int RaiseClutchEvent(const std::string& name, uint16_t engaged, uint16_t event_type);
  int SetClutchState(const std::string& name, uint16_t engaged, uint16_t event_type);
  int SetShiftState(const std::string& name, const platform::Guid& shift);
  int RaiseCommand(const std::string& name, const CommandRecord& command);
  int SetSoftButtons(const std::string& name, uint32_t word);
  // Completes outstanding HID input reads with report (cut to each read's size).
  int RaiseInputReport(const std::string& name, const std::vector<uint8_t>& report);
  // The driver loads path itself under a new id (kind 1 when relative) and activates it, as
  // another program would; completes outstanding profile-change waits. Returns the id, 0 for an
  // unknown controller.
  uint32_t LoadAndActivate(const std::string& name, std::u16string_view path, bool relative);

  // Waits until at least count requests of code (kReadRequest for reads) are outstanding on
  // the controller, for at most timeout_ms. False on timeout.
  bool WaitForOutstanding(const std::string& name, uint32_t code, uint32_t timeout_ms,
                          size_t count = 1);
  size_t OutstandingCount(const std::string& name, uint32_t code) const;
  // Requests of every code outstanding on the controller; the connections open on it, dead ones
  // of an earlier presence included. 0 for an unknown controller.
  size_t OutstandingTotal(const std::string& name) const;
  size_t ConnectionCount(const std::string& name) const;
  // Waits until the controller has seen at least count requests of code in all (a request
  // issued after an event, even one that is answered at once).
  bool WaitForIssued(const std::string& name, uint32_t code, uint64_t count, uint32_t timeout_ms);
  uint64_t IssuedCount(const std::string& name, uint32_t code) const;

  // ---- Fault injection.
  // The next count requests of code fail with kInjectedFailure.
  bool FailNext(const std::string& name, uint32_t code, uint32_t count = 1);
  // The next count opens of the controller's paths, by anyone, fail.
  bool FailOpens(const std::string& name, uint32_t count = 1);
  // The next count opens of the controller's paths are answered only delay_ms later (the
  // opening thread waits that long), as by a driver slow to grant a handle.
  bool DelayOpens(const std::string& name, uint32_t delay_ms, uint32_t count = 1);
  // The next count cancels of the controller's requests are ignored: the request stays
  // outstanding until an event answers it or its connection ends.
  bool IgnoreCancels(const std::string& name, uint32_t count = 1);
  // The next count profile path replies answer with kind. A kind of 3 or more also answers the
  // repeated request that follows each such reply, so that it exercises the failure; kind 2
  // exercises the repetition alone.
  bool InjectPathKind(const std::string& name, uint16_t kind, uint32_t count = 1);
  // Answers of the controller are delivered delay_ms after the driver gave them.
  bool SetCompletionDelay(const std::string& name, uint32_t delay_ms);
  // The next request of code is taken up only once a request of wait_code is outstanding on
  // the controller, or after timeout_ms: a session's thread that has issued its wait before the
  // session's own request changes the driver's state, so that a run does not race.
  bool Defer(const std::string& name, uint32_t code, uint32_t wait_code, uint32_t timeout_ms);

  // ---- Trace: one JSON line per record, oldest first:
  //   {"seq":N,"dev":NAME,"code":CODE,"ok":BOOL[,"error":STATUS][,"state":S],FIELDS,"in":HEX}
  // CODE is the IOCTL_ name ("0x%08X" for an unknown code), "read" for input report reads, or
  // "open"/"close" (these carry "path" instead of FIELDS and "in"). Waits and reads are
  // recorded when issued (state "pending") and when they end ("completed" or "cancelled"); a
  // request that fails at once is one record. FIELDS, from the input: IOCTL_PROFILE_LOAD path,
  // IOCTL_PROFILE_GET_PATH and IOCTL_PROFILE_ACTIVATE id, IOCTL_SET_CLUTCH_MODE mode,
  // IOCTL_SET_SHIFT_INDICATOR on, IOCTL_SET_STRING clear, set (null without characters), codes
  // and text, IOCTL_SET_CLUTCH_TEXT text; from the answer: IOCTL_PROFILE_LOAD and
  // IOCTL_GET_PROFILE_ID id, IOCTL_PROFILE_GET_PATH kind; completed waits: engaged and type
  // (clutch), shift, control, kind, commandstate and command (command), buttons (soft buttons),
  // size (reads).
  std::vector<std::string> Trace() const;
  // When each record of Trace() was made, by the steady clock, in the same order.
  std::vector<std::chrono::steady_clock::time_point> TraceTimes() const;
  void ClearTrace();
  // Paths inside root are written with root replaced by $ROOT and '/' as separator.
  void SetTraceRoot(std::u16string_view root);
  // Paths inside folder are written with it replaced by shown (checked before the root): a run
  // against a real service process maps the OS's own folders onto the root's names this way.
  void AddTraceFolder(std::u16string_view folder, std::u16string_view shown);
  // How many records the trace has had in all (cleared ones included).
  uint64_t RecordCount() const;

  // ---- Transport side.
  // Opens a connection on an interface path or legacy link path; 0 with *error set when the
  // controller is unknown or absent (ERROR_FILE_NOT_FOUND) or an open fault is injected.
  ConnectionId Connect(std::u16string_view path, uint32_t* error);
  // Ends the connection: answers still on their way are delivered, outstanding requests are
  // cancelled (ERROR_OPERATION_ABORTED). No completion of the connection runs afterwards.
  void Disconnect(ConnectionId connection);
  // Submits a control request (code) or an input report read (kReadRequest, no input). True
  // when accepted: done is then called exactly once, possibly before Submit returns. False,
  // done never called, when the request fails at once; *error says why.
  bool Submit(ConnectionId connection, RequestId request, uint32_t code, const uint8_t* input,
              uint32_t input_size, uint32_t output_capacity, Completion done, uint32_t* error);
  // Ends an outstanding request with ERROR_OPERATION_ABORTED; nothing for one already answered.
  void Cancel(ConnectionId connection, RequestId request);
  // The HID input report length of the connection's controller; false when it has none.
  bool InputReportLength(ConnectionId connection, uint16_t* length) const;

  // The model's inner records (sim/model_internal.h).
  struct Controller;
  struct Connection;
  struct Pending;
  struct Delivery;
  struct Reply;

 private:
  // All below run with mutex_ held.
  Controller* Find(std::string_view name) const;
  Controller* FindForPath(std::u16string_view path, std::string* name) const;
  // The answer to one request: effects on the controller, output, and the trace fields.
  void Respond(Controller& controller, uint32_t code, const uint8_t* input, uint32_t input_size,
               uint32_t capacity, Reply* reply);
  void RespondProfile(Controller& controller, uint32_t code, const uint8_t* input,
                      uint32_t input_size, uint32_t capacity, Reply* reply);
  void ReplyProfilePath(Controller& controller, uint32_t id, uint32_t capacity, Reply* reply);
  // The trace fields decoded from a request's input (also for requests that fail).
  void DescribeInput(uint32_t code, const uint8_t* input, uint32_t input_size,
                     JsonLine* fields) const;
  // Completes every outstanding request of code on the controller with output.
  int CompleteWaits(Controller& controller, uint32_t code, const std::vector<uint8_t>& output);
  // Ends an outstanding request: its trace record ("completed" or "cancelled"), then delivery.
  void Finish(Controller& controller, Pending& pending, uint32_t status,
              std::vector<uint8_t> output, bool cancelled);
  // Hands an answer to its completion, at once or after the controller's delay.
  void Deliver(const Controller& controller, ConnectionId connection, Completion done,
               uint32_t status, std::vector<uint8_t> output);
  // One trace record of a request: seq, dev, code, ok (and error), state, fields, in.
  void RecordRequest(const std::string& dev, uint32_t code, uint32_t status, const char* state,
                     const JsonLine& fields, const std::vector<uint8_t>& input);
  void RecordHandle(const std::string& dev, const char* what, uint32_t status,
                    std::u16string_view path);
  std::u16string TracePath(std::u16string_view path) const;
  void DelayLoop();
  // Waits on changed_ until ready or timeout_ms, counted as a wait on code meanwhile.
  bool WaitForChange(std::unique_lock<std::mutex>& lock, uint32_t code, uint32_t timeout_ms,
                     const std::function<bool()>& ready);
  // Wakes the waits on changed_ when one of them waits on code (mutex_ held); NotifyAll wakes
  // them whatever they wait on.
  void NotifyChange(uint32_t code);
  void NotifyAll();

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;  // a request was issued or ended
  // The codes the waits on changed_ are about, each with its number of waits: a request of
  // another code wakes none of them (they would only steal the processor from the service).
  std::map<uint32_t, int> waited_codes_;
  std::vector<std::unique_ptr<Controller>> controllers_;
  std::map<ConnectionId, std::unique_ptr<Connection>> connections_;
  ConnectionId next_connection_ = 1;
  std::vector<std::string> trace_;
  std::vector<std::chrono::steady_clock::time_point> trace_times_;
  uint64_t next_seq_ = 1;
  std::u16string trace_root_;
  std::vector<std::pair<std::u16string, std::u16string>> trace_folders_;
  // Answers held back by a completion delay, in delivery order.
  std::multimap<uint64_t, std::unique_ptr<Delivery>> delayed_;
  std::condition_variable delay_wake_;
  bool stopping_ = false;
  std::thread delay_thread_;
};

}  // namespace sim
