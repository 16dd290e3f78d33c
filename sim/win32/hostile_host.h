// The hostile mode of the stand-in driver's host: the faults a kernel driver can show a service
// through overlapped device handles (random statuses and byte counts, requests never answered,
// cancels ignored, never answered or answered with success, answers to handles already closed,
// refused opens, opens and HID class questions never answered), chosen by one seeded random
// generator. Calm, it lets the model answer everything.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/model.h"
#include "sim/win32/driver_host.h"

namespace sim {

class HostileHost : public HostInterceptor {
 public:
  HostileHost(DriverHost& host, DriverModel& model, uint64_t seed);
  ~HostileHost() override;  // Stop()
  HostileHost(const HostileHost&) = delete;
  HostileHost& operator=(const HostileHost&) = delete;

  // Hostile or calm from the next message on. Turning calm hands the waits this host holds to
  // the model, as a sound driver holds them until an event; other requests it holds unanswered
  // stay so until their sender cancels them or their handle or device goes.
  void SetHostile(bool hostile);
  // Ends the thread of late answers (before the DriverHost stops).
  void Stop();
  // The next request of the controller that is not a wait is never answered, hostile or calm;
  // true once that request has come.
  void NeverAnswerNext(const std::string& name);
  bool NeverAnswered() const;
  // The next open of the controller, its next HID class question (the one behind
  // HidD_GetPreparsedData) or the next cancel of one of its requests is never answered, hostile
  // or calm: held until the device goes. Armed until it came (Armed tells).
  enum class Silence { kOpen, kHidQuestion, kCancel };
  void SilenceNext(const std::string& name, Silence what);
  bool Armed(Silence what) const;

  bool Intercept(const HostMessage& message) override;

  // One random event: a held wait answered with random output or an error, or a driver event
  // (clutch, clutch state, shift, command, soft buttons) on one of the present controllers.
  void RaiseEvent(const std::vector<std::string>& present);
  // Whether this host holds an unanswered request of the controller.
  bool Holds(const std::string& name) const;
  // How often each kind of fault was served, as one JSON object.
  std::string CountsJson() const;
  uint64_t Count(const std::string& what) const;

 private:
  // A request this host keeps unanswered for now.
  struct Held {
    uint32_t kind = 0;
    uint64_t file = 0;
    std::string name;
    uint32_t code = 0;
    uint32_t capacity = 0;
    std::u16string link;
    std::vector<uint8_t> input;  // to let the model serve it late
  };
  // All with mutex_ held.
  bool InterceptRequest(const HostMessage& message, std::vector<std::function<void()>>* now);
  bool InterceptCancel(const HostMessage& message, const std::string& name,
                       std::vector<std::function<void()>>* now);
  void Forget(const std::function<bool(const Held&)>& gone);
  // Whether what is silenced for name now (and disarms it).
  bool Silenced(Silence what, const std::string& name);
  void Hold(const HostMessage& message, const std::string& name);
  void Later(uint32_t delay_ms, std::function<void()> job);
  // A late job for tag: runs job when this host still holds tag (and forgets it).
  void LaterHeld(uint32_t delay_ms, uint64_t tag, std::function<void(const Held&)> job);
  void Note(const char* what) { ++counts_[what]; }
  uint32_t Below(uint32_t bound) {
    return bound == 0 ? 0 : static_cast<uint32_t>(random_() % bound);
  }
  double Roll() { return std::uniform_real_distribution<double>(0.0, 1.0)(random_); }
  uint32_t RandomBytesCount(uint32_t capacity);
  std::vector<uint8_t> RandomBytes(uint32_t count);
  int32_t RandomError();

  void TimerLoop();
  // A copy of a held request as a message, for DriverHost::Serve.
  static HostMessage AsMessage(uint64_t tag, const Held& held);

  DriverHost& host_;
  DriverModel& model_;
  mutable std::mutex mutex_;
  std::mt19937_64 random_;
  bool hostile_ = false;
  std::string never_answer_next_;
  std::map<Silence, std::string> silence_next_;
  std::map<uint64_t, Held> held_;  // by tag
  std::vector<uint64_t> stale_;    // tags of requests whose handle or device went meanwhile
  std::map<std::string, uint64_t> counts_;
  std::multimap<uint64_t, std::function<void()>> timers_;  // by due tick
  std::condition_variable timer_wake_;
  bool stopping_ = false;
  std::thread timer_thread_;
};

}  // namespace sim
