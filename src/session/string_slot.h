// Display strings: the string slots of a session, the display string request with its
// character map, SetString and the marquee that scrolls a text longer than its line.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/sync.h"
#include "platform/thread.h"

class DriverChannel;
struct OutputTables;

// Status codes of SetString.
inline constexpr uint32_t kStatusOk = 0;
inline constexpr uint32_t kStatusInvalidHandle = 0x80070006;    // E_HANDLE
inline constexpr uint32_t kStatusInvalidArgument = 0x80070057;  // E_INVALIDARG

// One display string id's marquee: the text it scrolls, its parameters and its thread. The
// thread reads the slot without a lock; every change is made only after the thread has been
// stopped and has signalled done.
struct StringSlot {
  StringSlot() = default;
  ~StringSlot();  // stops the marquee
  StringSlot(const StringSlot&) = delete;
  StringSlot& operator=(const StringSlot&) = delete;

  // Ends the marquee thread, if one runs, and waits for it; the slot keeps its text.
  void StopMarquee();

  std::u16string text;
  DriverChannel* channel = nullptr;  // the session's channel, set when a marquee starts
  uint32_t window_width = 16;        // characters sent per step
  uint32_t period = 250;             // milliseconds between steps (at least 10 are waited)
  uint32_t set_command = 0;
  uint32_t clear_command = 0;
  platform::Thread thread;
  platform::Event stop_event{platform::Event::Kind::kAutoReset};
  platform::Event done_event{platform::Event::Kind::kAutoReset};
};

// A session has one slot per string id 0, 1 and 2.
inline constexpr uint32_t kStringSlotCount = 3;
using StringSlots = std::span<StringSlot, kStringSlotCount>;

// Use by the device session: it holds `StringSlot[3]` after its output tables, implements its
// SetString as SetDisplayString on its path, tables, channel and slots, and in destruction calls
// StopMarquee on slots 0, 1, 2 (before it logs "Device Destroyed"); the slots themselves go
// before the tables and the channel. Two calls for the same string id must not run at once.

// SetString: E_HANDLE when path is empty; E_INVALIDARG when the string table has no entry for
// id or id has no slot (3 and above); otherwise stops the slot's marquee, logs the text and
// either sends it at once (it fits: length <= the entry's maximum length) or starts a marquee,
// and returns 0 whatever the driver answers.
uint32_t SetDisplayString(StringSlots slots, const std::u16string& path,
                          const OutputTables& tables, DriverChannel& channel, uint32_t id,
                          uint32_t length, const char16_t* text);

// Builds and sends one display string request of count units: record 0 the clear command, then
// one record per pair of units with the set command and both display codes. Nothing when channel
// is null or the request cannot be allocated; the driver's answer is not looked at.
void SendString(DriverChannel* channel, const char16_t* text, uint32_t count,
                uint32_t set_command, uint32_t clear_command);

// Stops the slot's marquee, stores text and parameters in the slot and starts its marquee
// thread, which sends the first window at once. False when the thread could not be created
// (the slot then stays idle with the new text stored).
bool StartMarquee(StringSlot& slot, DriverChannel* channel, const char16_t* text,
                  uint32_t length, uint32_t window_width, uint32_t period, uint32_t set_command,
                  uint32_t clear_command);
