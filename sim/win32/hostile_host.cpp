// The hostile host: decides per message, under one lock and one seeded generator, whether the
// model answers it or which fault it gets; what it decided is carried out after the lock is
// released (answers go to the driver, which may call nothing back into this host). Late answers
// run on a thread of their own.
#include "sim/win32/hostile_host.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "driver/control_codes.h"

extern "C" {
#include "sim/windows-driver/host_protocol.h"
}

namespace sim {
namespace {

constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusCancelled = static_cast<int32_t>(0xC0000120);
constexpr int32_t kStatusBufferOverflow = static_cast<int32_t>(0x80000005);
// Error and warning statuses a driver may answer with.
constexpr uint32_t kStatuses[] = {
    0xC0000001,  // UNSUCCESSFUL
    0xC0000008,  // INVALID_HANDLE
    0xC000000D,  // INVALID_PARAMETER
    0xC000000E,  // NO_SUCH_DEVICE
    0xC0000010,  // INVALID_DEVICE_REQUEST
    0xC0000022,  // ACCESS_DENIED
    0xC0000023,  // BUFFER_TOO_SMALL
    0xC000009A,  // INSUFFICIENT_RESOURCES
    0xC000009D,  // DEVICE_NOT_CONNECTED
    0xC00000A3,  // DEVICE_NOT_READY
    0xC00000B5,  // IO_TIMEOUT
    0xC00000BB,  // NOT_SUPPORTED
    0xC0000120,  // CANCELLED
    0x80000005,  // BUFFER_OVERFLOW
    0x80000011,  // DEVICE_BUSY
    0x8000001A,  // NO_MORE_ENTRIES
};
// What refused opens answer with.
constexpr uint32_t kOpenRefusals[] = {0xC0000022, 0xC000000E, 0xC000009D, 0xC0000043,
                                      0xC0000001};  // ..., SHARING_VIOLATION, UNSUCCESSFUL

bool IsWait(uint32_t code) {
  return code == IOCTL_WAIT_CLUTCH_EVENT || code == IOCTL_WAIT_CLUTCH_STATE ||
         code == IOCTL_WAIT_PROFILE_CHANGE || code == IOCTL_WAIT_SHIFT_CHANGE ||
         code == IOCTL_WAIT_COMMAND || code == IOCTL_WAIT_SOFT_BUTTONS;
}

// Only the controllers' own codes get faults; requests of other device types (the HID class
// requests behind HidD_GetPreparsedData) are the OS's business and are answered as ever.
bool IsControllerCode(uint32_t code) { return (code >> 16) == 0x22; }

// The first HID class question of HidD_GetPreparsedData.
constexpr uint32_t kHidGetCollectionInformation = 0x000B01A8;

uint64_t Now() { return GetTickCount64(); }

}  // namespace

HostileHost::HostileHost(DriverHost& host, DriverModel& model, uint64_t seed)
    : host_(host), model_(model), random_(seed) {
  timer_thread_ = std::thread([this] { TimerLoop(); });
}

HostileHost::~HostileHost() { Stop(); }

void HostileHost::SetHostile(bool hostile) {
  std::vector<std::pair<uint64_t, Held>> waits;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    hostile_ = hostile;
    for (auto it = held_.begin(); !hostile && it != held_.end();) {
      if (IsWait(it->second.code)) {
        waits.emplace_back(it->first, std::move(it->second));
        it = held_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& [tag, held] : waits) host_.Serve(AsMessage(tag, held));
}

void HostileHost::Stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    timers_.clear();
  }
  timer_wake_.notify_all();
  if (timer_thread_.joinable()) timer_thread_.join();
}

void HostileHost::TimerLoop() {
  std::unique_lock<std::mutex> hold(mutex_);
  while (!stopping_) {
    if (timers_.empty()) {
      timer_wake_.wait(hold);
      continue;
    }
    const uint64_t now = Now();
    if (timers_.begin()->first > now) {
      timer_wake_.wait_for(hold, std::chrono::milliseconds(timers_.begin()->first - now));
      continue;
    }
    std::function<void()> job = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    hold.unlock();
    job();
    hold.lock();
  }
}

void HostileHost::Later(uint32_t delay_ms, std::function<void()> job) {
  timers_.emplace(Now() + delay_ms, std::move(job));
  timer_wake_.notify_all();
}

void HostileHost::LaterHeld(uint32_t delay_ms, uint64_t tag, std::function<void(const Held&)> job) {
  Later(delay_ms, [this, tag, job = std::move(job)] {
    Held held;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      const auto found = held_.find(tag);
      if (found == held_.end()) return;  // cancelled and answered, or its handle went
      held = std::move(found->second);
      held_.erase(found);
    }
    job(held);
  });
}

HostMessage HostileHost::AsMessage(uint64_t tag, const Held& held) {
  HostMessage message;
  message.kind = held.kind;
  message.tag = tag;
  message.file = held.file;
  message.code = held.code;
  message.input = held.input.data();
  message.input_size = static_cast<uint32_t>(held.input.size());
  message.output_capacity = held.capacity;
  message.link = held.link;
  return message;
}

uint32_t HostileHost::RandomBytesCount(uint32_t capacity) {
  switch (Below(4)) {
    case 0: return 0;
    case 1: return capacity;
    case 2: return capacity > 0 ? capacity - 1 : 0;
    default: return Below(capacity + 1);
  }
}

std::vector<uint8_t> HostileHost::RandomBytes(uint32_t count) {
  std::vector<uint8_t> bytes(count);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random_());
  return bytes;
}

int32_t HostileHost::RandomError() {
  return static_cast<int32_t>(kStatuses[Below(std::size(kStatuses))]);
}

void HostileHost::Hold(const HostMessage& message, const std::string& name) {
  Held held;
  held.kind = message.kind;
  held.file = message.file;
  held.name = name;
  held.code = message.code;
  held.capacity = message.output_capacity;
  held.link = message.link;
  held.input.assign(message.input, message.input + message.input_size);
  held_[message.tag] = std::move(held);
}

void HostileHost::Forget(const std::function<bool(const Held&)>& gone) {
  for (auto it = held_.begin(); it != held_.end();) {
    if (gone(it->second)) {
      stale_.push_back(it->first);
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
}

bool HostileHost::Intercept(const HostMessage& message) {
  // The host name lookup takes the host's own lock: done before this host's.
  const std::string name = message.link.empty() ? std::string() : host_.NameOf(message.link);
  std::vector<std::function<void()>> now;
  bool taken = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    switch (message.kind) {
      case SKYHELM_HOST_CREATE:
        if (!name.empty() && Silenced(Silence::kOpen, name)) {
          Note("opens never answered");
          Hold(message, name);  // until the device goes
          taken = true;
        } else if (hostile_ && !name.empty() && Roll() < 0.03) {
          Note("opens never answered");
          Hold(message, name);
          taken = true;
        } else if (hostile_ && Roll() < 0.06) {
          Note("opens refused");
          const int32_t status = static_cast<int32_t>(kOpenRefusals[Below(std::size(kOpenRefusals))]);
          now.push_back([this, tag = message.tag, status] { host_.AnswerStatus(tag, status, nullptr, 0); });
          taken = true;
        }
        break;
      case SKYHELM_HOST_CLOSE: {
        // The driver failed what the handle still had; answers to them now reach a closed
        // handle.
        Forget([&](const Held& held) { return held.file == message.file; });
        break;
      }
      case SKYHELM_HOST_REMOVED:
        Forget([&](const Held& held) { return held.link == message.link; });
        break;
      case SKYHELM_HOST_CANCEL:
        taken = InterceptCancel(message, name, &now);
        break;
      case SKYHELM_HOST_CONTROL:
      case SKYHELM_HOST_READ:
        if (!name.empty()) {
          Hold(message, name);  // taken back below unless a fault keeps it
          const bool kept = InterceptRequest(message, &now);
          if (!kept) held_.erase(message.tag);
          taken = kept;
        }
        break;
      default:
        break;
    }
    // Now and then an answer to a request whose handle or device is gone.
    if (hostile_ && !stale_.empty() && Roll() < 0.2) {
      Note("answers to closed handles");
      const uint64_t tag = stale_[Below(static_cast<uint32_t>(stale_.size()))];
      auto output = RandomBytes(Below(64));
      now.push_back([this, tag, output] {
        host_.AnswerStatus(tag, kStatusSuccess, output.data(), static_cast<uint32_t>(output.size()));
      });
      if (stale_.size() > 256) stale_.erase(stale_.begin(), stale_.begin() + 128);
    }
  }
  for (auto& job : now) job();
  return taken;
}

void HostileHost::NeverAnswerNext(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  never_answer_next_ = name;
}

bool HostileHost::NeverAnswered() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return never_answer_next_.empty();
}

void HostileHost::SilenceNext(const std::string& name, Silence what) {
  std::lock_guard<std::mutex> hold(mutex_);
  silence_next_[what] = name;
}

bool HostileHost::Armed(Silence what) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto found = silence_next_.find(what);
  return found != silence_next_.end() && !found->second.empty();
}

bool HostileHost::Silenced(Silence what, const std::string& name) {
  auto found = silence_next_.find(what);
  if (found == silence_next_.end() || found->second.empty() || found->second != name) return false;
  found->second.clear();
  return true;
}

bool HostileHost::InterceptRequest(const HostMessage& message,
                                   std::vector<std::function<void()>>* now) {
  const std::string& name = held_[message.tag].name;
  if (!never_answer_next_.empty() && name == never_answer_next_ &&
      IsControllerCode(message.code) && !IsWait(message.code)) {
    never_answer_next_.clear();
    Note("requests never answered");
    return true;
  }
  if (message.kind == SKYHELM_HOST_CONTROL && message.code == kHidGetCollectionInformation &&
      (Silenced(Silence::kHidQuestion, name) || (hostile_ && Roll() < 0.25))) {
    // Held until cancelled, or its handle or device goes.
    Note("HID questions never answered");
    return true;
  }
  if (!hostile_ || !IsControllerCode(message.code)) return false;
  Note("requests");
  const uint64_t tag = message.tag;
  const uint32_t capacity = message.output_capacity;
  if (IsWait(message.code)) {
    // Waits are the model's to complete on events; some this host keeps, to complete them with
    // random output or an error (RaiseEvent), or never.
    if (Roll() < 0.3) {
      Note("waits held");
      return true;
    }
    return false;
  }
  const double roll = Roll();
  if (roll < 0.45) {
    Note("sound answers");
    return false;
  }
  if (roll < 0.60) {
    Note("random success answers");
    auto output = RandomBytes(RandomBytesCount(capacity));
    const bool twice = Roll() < 0.2;
    if (twice) Note("answers given twice");
    const int32_t second = RandomError();
    now->push_back([this, tag, output, twice, second] {
      host_.AnswerStatus(tag, kStatusSuccess, output.data(), static_cast<uint32_t>(output.size()));
      if (twice) host_.AnswerStatus(tag, second, output.data(), static_cast<uint32_t>(output.size()));
    });
  } else if (roll < 0.68) {
    Note("error answers");
    const int32_t status = RandomError();
    auto output = RandomBytes(status < 0 && (static_cast<uint32_t>(status) >> 30) == 2
                                  ? RandomBytesCount(capacity)
                                  : 0);
    now->push_back([this, tag, status, output] {
      host_.AnswerStatus(tag, status, output.data(), static_cast<uint32_t>(output.size()));
    });
  } else if (roll < 0.72) {
    Note("buffer overflow answers");
    auto output = RandomBytes(capacity);
    now->push_back([this, tag, output] {
      host_.AnswerStatus(tag, kStatusBufferOverflow, output.data(),
                         static_cast<uint32_t>(output.size()));
    });
  } else if (roll < 0.88) {
    Note("late answers");
    static constexpr uint32_t kDelays[] = {10, 20, 20, 20, 50, 100, 300, 1000, 2500};
    const uint32_t delay = kDelays[Below(std::size(kDelays))];
    const bool sound = Roll() < 0.7;
    auto output = RandomBytes(RandomBytesCount(capacity));
    LaterHeld(delay, tag, [this, tag, sound, output](const Held& held) {
      if (sound) {
        host_.Serve(AsMessage(tag, held));
      } else {
        host_.AnswerStatus(tag, kStatusSuccess, output.data(), static_cast<uint32_t>(output.size()));
      }
    });
    return true;  // held until then
  } else if (roll < 0.91) {
    Note("requests never answered");
    return true;  // held until cancelled, or its handle or device goes
  } else {
    Note("sound answers");
    return false;
  }
  return false;  // answered at once: nothing held
}

bool HostileHost::InterceptCancel(const HostMessage& message, const std::string& name,
                                  std::vector<std::function<void()>>* now) {
  const uint64_t tag = message.tag;
  const auto found = held_.find(tag);
  if (!name.empty() && Silenced(Silence::kCancel, name)) {
    // Whoever holds the request keeps it: the model until an event answers it or its handle
    // goes, this host until the handle or device goes.
    Note("cancels never answered");
    return true;
  }
  const double roll = hostile_ ? Roll() : 0.0;
  if (hostile_) Note("cancels");
  if (found == held_.end()) {
    // The model holds it (or it was answered meanwhile): the model's cancel answers it.
    if (roll < 0.5) return false;
    if (roll < 0.65) {
      Note("cancels never answered");
      return true;
    }
    if (roll < 0.8) {
      Note("cancels ignored");
      HostMessage copy = message;
      copy.input = nullptr;
      copy.input_size = 0;
      Later(50 + Below(2000), [this, copy] { host_.Serve(copy); });
      return true;
    }
    Note("cancels answered with success");
    auto output = RandomBytes(RandomBytesCount(64));
    now->push_back([this, tag, output] {
      host_.AnswerStatus(tag, kStatusSuccess, output.data(), static_cast<uint32_t>(output.size()));
    });
    return false;  // and the model forgets it (its cancelled answer finds nothing)
  }
  const uint32_t capacity = found->second.capacity;
  if (hostile_ && roll < 0.15) {
    Note("cancels never answered");  // left held
  } else if (roll < 0.6) {
    held_.erase(found);
    now->push_back([this, tag] { host_.AnswerStatus(tag, kStatusCancelled, nullptr, 0); });
  } else if (roll < 0.8) {
    // Left held; answered after a while, cancelled or with success.
    Note("cancels ignored");
    const bool success = Roll() < 0.3;
    auto output = RandomBytes(success ? RandomBytesCount(capacity) : 0);
    LaterHeld(50 + Below(2000), tag, [this, tag, success, output](const Held&) {
      host_.AnswerStatus(tag, success ? kStatusSuccess : kStatusCancelled, output.data(),
                         static_cast<uint32_t>(output.size()));
    });
  } else {
    Note("cancels answered with success");
    held_.erase(found);
    auto output = RandomBytes(RandomBytesCount(capacity));
    now->push_back([this, tag, output] {
      host_.AnswerStatus(tag, kStatusSuccess, output.data(), static_cast<uint32_t>(output.size()));
    });
  }
  return true;
}

void HostileHost::RaiseEvent(const std::vector<std::string>& present) {
  std::function<void()> job;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<uint64_t> waits;
    for (const auto& [tag, held] : held_) {
      if (IsWait(held.code)) waits.push_back(tag);
    }
    if (!waits.empty() && Roll() < 0.4) {
      const uint64_t tag = waits[Below(static_cast<uint32_t>(waits.size()))];
      const Held held = held_[tag];
      held_.erase(tag);
      int32_t status = kStatusSuccess;
      std::vector<uint8_t> output;
      if (Roll() < 0.25) {
        Note("held waits failed");
        status = RandomError();
      } else if (held.code == IOCTL_WAIT_CLUTCH_EVENT && Roll() < 0.7) {
        Note("held clutch waits answered");
        static constexpr uint16_t kEngaged[] = {0, 1, 1, 5, 0xFFFF};
        ClutchWords words;
        words.engaged = kEngaged[Below(std::size(kEngaged))];
        words.event_type = static_cast<uint16_t>(Roll() < 0.9 ? Below(9) : 0xFFFF);
        output.resize(ClutchWords::kSize);
        words.Write(output.data());
        output.resize(std::min<size_t>(output.size(), Below(3) == 0 ? Below(5) : 4));
      } else {
        Note("held waits answered with random output");
        output = RandomBytes(RandomBytesCount(held.capacity));
      }
      job = [this, tag, status, output] {
        host_.AnswerStatus(tag, status, output.data(), static_cast<uint32_t>(output.size()));
      };
    } else if (!present.empty()) {
      const std::string name = present[Below(static_cast<uint32_t>(present.size()))];
      const double roll = Roll();
      const uint16_t engaged = static_cast<uint16_t>(Below(3) == 0 ? 0 : 1);
      const uint16_t type = static_cast<uint16_t>(Below(9));
      platform::Guid guid;
      guid.data1 = static_cast<uint32_t>(random_());
      guid.data2 = static_cast<uint16_t>(Below(3));
      if (roll < 0.5) {
        Note("clutch events");
        job = [this, name, engaged, type] { model_.RaiseClutchEvent(name, engaged, type); };
      } else if (roll < 0.65) {
        Note("clutch state events");
        job = [this, name, engaged, type] { model_.SetClutchState(name, engaged, type); };
      } else if (roll < 0.8) {
        Note("shift events");
        job = [this, name, guid] { model_.SetShiftState(name, guid); };
      } else if (roll < 0.9) {
        Note("command events");
        CommandRecord command;
        command.control = Below(64);
        command.kind = Below(4);
        command.state = Below(2);
        command.command = guid;
        job = [this, name, command] { model_.RaiseCommand(name, command); };
      } else {
        Note("soft button events");
        const uint32_t word = static_cast<uint32_t>(random_());
        job = [this, name, word] { model_.SetSoftButtons(name, word); };
      }
    }
  }
  if (job) job();
}

bool HostileHost::Holds(const std::string& name) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return std::any_of(held_.begin(), held_.end(),
                     [&](const auto& entry) { return entry.second.name == name; });
}

uint64_t HostileHost::Count(const std::string& what) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto found = counts_.find(what);
  return found == counts_.end() ? 0 : found->second;
}

std::string HostileHost::CountsJson() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::string json = "{";
  for (const auto& [what, count] : counts_) {
    if (json.size() > 1) json += ", ";
    json += "\"" + what + "\": " + std::to_string(count);
  }
  return json + "}";
}

}  // namespace sim
