// Display strings and the marquee.
#include "session/string_slot.h"

#include <new>
#include <vector>

#include "driver/control_codes.h"
#include "driver/driver_channel.h"
#include "log/log.h"
#include "output/output_tables.h"
#include "session/display_char_map.h"

namespace {

// Spaces between the end of a scrolling text and its next start.
constexpr uint32_t kMarqueeGap = 8;
// The shortest marquee step: a marquee time of 0 (or a few ms) would otherwise send display
// requests in a tight loop, keeping a core busy and flooding the driver.
constexpr uint32_t kMinMarqueeStepMs = 10;

void PutCommand(unsigned char* record, uint32_t command) {
  record[0] = static_cast<unsigned char>(command & 0xFF);
  record[1] = static_cast<unsigned char>((command >> 8) & 0xFF);
}

void RunMarquee(StringSlot& slot) {
  LogMessage(kLogLifecycle, kLogCategory, u"Marquee Thread Started");
  const std::u16string& text = slot.text;
  const std::u16string scroll = text + std::u16string(kMarqueeGap, u' ') + text;
  const int32_t length = static_cast<int32_t>(text.size());
  int32_t position = 0;
  const uint32_t step_ms = slot.period > kMinMarqueeStepMs ? slot.period : kMinMarqueeStepMs;
  for (;;) {
    const char16_t* window = scroll.c_str() + position;
    LogMessage(kLogEvent, kLogCategory, u"Setting string = %d %d \"%ws\"",
               static_cast<int>(slot.period), static_cast<int>(slot.window_width), window);
    if (slot.channel != nullptr) {
      SendString(slot.channel, window, slot.window_width, slot.set_command, slot.clear_command);
    } else {
      LogMessage(kLogError, kLogCategory, u"eek - pointer");
    }
    position = position < length + static_cast<int32_t>(kMarqueeGap) - 1 ? position + 1 : 0;
    // Anything but a timeout (stop, or a failed wait) ends the marquee.
    if (platform::WaitAny({&slot.stop_event}, step_ms) != platform::kWaitTimeout) break;
  }
  LogMessage(kLogLifecycle, kLogCategory, u"Marquee Thread Finished");
}

uint32_t MarqueeRoutine(void* argument) {
  auto& slot = *static_cast<StringSlot*>(argument);
  RunMarquee(slot);
  slot.done_event.Set();
  return 0;
}

}  // namespace

StringSlot::~StringSlot() { StopMarquee(); }

void StringSlot::StopMarquee() {
  if (!thread.Running()) return;
  stop_event.Set();
  done_event.Wait();
  thread.Join();
  // A marquee that left on a failed wait never consumed the stop signal.
  stop_event.Reset();
}

void SendString(DriverChannel* channel, const char16_t* text, uint32_t count,
                uint32_t set_command, uint32_t clear_command) {
  if (channel == nullptr) return;
  const uint64_t records = 1 + (uint64_t{count} + 1) / 2;
  if (records * 4 > UINT32_MAX) return;
  std::vector<unsigned char> request;
  try {
    request.assign(static_cast<size_t>(records * 4), 0);
  } catch (const std::bad_alloc&) {
    return;
  }
  PutCommand(&request[0], clear_command);
  for (uint32_t unit = 0; unit < count; unit += 2) {
    unsigned char* record = &request[4 + unit * size_t{2}];
    PutCommand(record, set_command);
    record[3] = DisplayCode(text[unit]);
    if (unit + 1 < count) record[2] = DisplayCode(text[unit + 1]);
  }
  channel->Control(IOCTL_SET_STRING, request.data(), static_cast<uint32_t>(request.size()),
                   nullptr, 0);
}

bool StartMarquee(StringSlot& slot, DriverChannel* channel, const char16_t* text,
                  uint32_t length, uint32_t window_width, uint32_t period, uint32_t set_command,
                  uint32_t clear_command) {
  slot.StopMarquee();
  slot.text.assign(text, length);
  slot.window_width = window_width;
  slot.period = period;
  slot.set_command = set_command;
  slot.clear_command = clear_command;
  slot.channel = channel;
  return slot.thread.Start(&MarqueeRoutine, &slot);
}

uint32_t SetDisplayString(StringSlots slots, const std::u16string& path,
                          const OutputTables& tables, DriverChannel& channel, uint32_t id,
                          uint32_t length, const char16_t* text) {
  if (path.empty()) return kStatusInvalidHandle;
  const auto found = tables.strings.find(id);
  // A table entry for an id without a slot is treated like a missing entry.
  if (found == tables.strings.end() || id >= kStringSlotCount) return kStatusInvalidArgument;
  const StringEntry& entry = found->second;
  StringSlot& slot = slots[id];
  slot.StopMarquee();
  const std::u16string copy(text, length);
  LogMessage(kLogEvent, kLogCategory, u"SetString(%d, %d, \"%ws\")", static_cast<int>(id),
             static_cast<int>(length), copy.c_str());
  if (length > entry.max_length) {
    StartMarquee(slot, &channel, copy.c_str(), length, entry.max_length, entry.marquee_time,
                 entry.set_command, entry.clear_command);
  } else {
    SendString(&channel, copy.c_str(), length, entry.set_command, entry.clear_command);
  }
  return kStatusOk;
}
