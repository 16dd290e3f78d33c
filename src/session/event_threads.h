// The four event threads of a display state: clutch state, profile change, shift state and
// command events, each waiting for its driver request on a private overlapped channel.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/guid.h"
#include "session/handler_binding.h"
#include "session/worker_thread.h"

class DriverChannel;

// Use by the display state: construct the thread, SetHandler once, SetPath before Start, Start;
// Stop (or destruction) ends it. Every Run logs its terminating line when it ends, also when the
// path is empty or cannot be opened (it then ends at once without calling its handler). A failed
// request ends the thread; nothing restarts it.

// What the four share: a handler with its context, and the device path their channel opens.
template <typename HandlerType>
class CEventThread : public CThread {
 public:
  using Handler = HandlerType;
  void SetHandler(Handler handler, void* context) { handler_.Set(handler, context); }
  void SetPath(std::u16string_view path) { path_ = path; }

 protected:
  HandlerBinding<Handler> handler_;
  std::u16string path_;
};

// Waits for IOCTL_WAIT_CLUTCH_STATE; the handler gets engaged as 0 or 1 and the event type word.
using ClutchStateHandler = void (*)(uint32_t engaged, uint32_t event_type, void* context);
class CClutchThread : public CEventThread<ClutchStateHandler> {
 public:
  ~CClutchThread() override;

 protected:
  void Run() override;
};

// Waits for IOCTL_WAIT_PROFILE_CHANGE; after each change it pauses 100 ms, asks for the active
// profile's id, full path and the shift state, and hands path and shift GUID to the handler.
using ProfileChangeHandler = void (*)(const std::u16string& path, const platform::Guid* shift,
                                     void* context);
class CProfileThread : public CEventThread<ProfileChangeHandler> {
 public:
  ~CProfileThread() override;

  // One profile-change wait on an overlapped channel, together with stop. True when the driver
  // reported a change; false on stop (the request is cancelled and finished first), on a failed
  // request, or when the channel is closed or not overlapped.
  static bool WaitProfileChange(DriverChannel& channel, platform::Event& stop);

 protected:
  void Run() override;

 private:
  void ReportProfile(DriverChannel& channel);
};

// Waits for IOCTL_WAIT_SHIFT_CHANGE; the handler gets the new shift GUID.
using ShiftStateHandler = void (*)(const platform::Guid* shift, void* context);
class CShiftThread : public CEventThread<ShiftStateHandler> {
 public:
  ~CShiftThread() override;

 protected:
  void Run() override;
};

// Waits for IOCTL_WAIT_COMMAND; the handler gets the command GUID, control number, kind, state.
using CommandEventHandler = void (*)(const platform::Guid* command, uint32_t control,
                                    uint32_t kind, uint32_t state, void* context);
class CCommandThread : public CEventThread<CommandEventHandler> {
 public:
  ~CCommandThread() override;

 protected:
  void Run() override;
};
