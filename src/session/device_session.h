// The working context of one controller for the time of one attach or one clutch event: its
// driver channel, display state, output tables, display string slots and its own HID input and
// soft-button threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "display/display_state.h"
#include "driver/control_codes.h"
#include "driver/driver_channel.h"
#include "output/output_tables.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "session/session_threads.h"
#include "session/string_slot.h"

// Called by the soft-button thread, under the session mutex, with each new soft-button word.
using SoftButtonHandler = void (*)(uint32_t word, void* context);

// Construct, Setup once with the controller's path, use, destroy. Destruction stops every thread
// that Setup started before anything is freed.
class DeviceSession : private ISessionThreadOwner {
 public:
  DeviceSession();
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // Opens the channel, reads the device type, initialises the display, loads the output tables
  // and starts the HID and soft-button threads; a failing step returns false at once, leaving
  // what was done for destruction to undo.
  bool Setup(const char16_t* path, size_t length);
  bool Setup(std::u16string_view path) { return Setup(path.data(), path.size()); }

  // Writes display string id: 0 on success, E_HANDLE before Setup, E_INVALIDARG for an id
  // without a string table entry or slot.
  uint32_t SetString(uint32_t id, uint32_t length, const char16_t* text);

  const std::u16string& path() const override { return path_; }
  DriverChannel& channel() { return channel_; }
  CDisplayState& display_state() { return display_state_; }
  // Filled by Setup; read under display_state().lock() while the display's threads run.
  const OutputTables& output_tables() const { return output_tables_; }
  const platform::Guid& device_type() const { return device_type_; }
  bool hid_thread_started() const { return hid_thread_.Running(); }
  bool soft_button_thread_started() const { return soft_button_thread_.Running(); }

  // Installs (or, with null, removes) the soft-button handler.
  void SetSoftButtonHandler(SoftButtonHandler handler, void* context);

  void CallSoftButtonHandler(uint32_t word) override;

 private:
  // What the HID and soft-button thread routines use.
  platform::Event& soft_button_stop() override { return soft_button_stop_; }
  platform::Event& soft_button_done() override { return soft_button_done_; }
  platform::Event& hid_stop() override { return hid_stop_; }
  platform::Event& hid_done() override { return hid_done_; }

  bool LoadOutputTables();
  // Creates a thread suspended and resumes it; its handle stays empty when creation fails.
  void StartSessionThread(platform::Thread& thread, platform::ThreadFunction routine);
  static void StopSessionThread(platform::Thread& thread, platform::Event& stop,
                                platform::Event& done);

  std::u16string path_;
  DriverChannel channel_;
  platform::Mutex mutex_;
  SoftButtonHandler soft_button_handler_ = nullptr;
  void* soft_button_context_ = nullptr;
  platform::Guid device_type_;
  CDisplayState display_state_;
  OutputTables output_tables_;
  StringSlot string_slots_[kStringSlotCount];
  platform::Thread soft_button_thread_;
  platform::Event soft_button_stop_{platform::Event::Kind::kManualReset};
  platform::Event soft_button_done_{platform::Event::Kind::kManualReset};
  platform::Thread hid_thread_;
  platform::Event hid_stop_{platform::Event::Kind::kManualReset};
  platform::Event hid_done_{platform::Event::Kind::kManualReset};
};
