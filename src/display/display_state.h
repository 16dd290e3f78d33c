// What a controller's display shows for the active profile: the shift, command and profile
// texts, the name tables of the active profile, the session's own clutch, and the four threads
// that deliver the driver's clutch, profile, shift and command events to the handlers here.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "clutch/clutch.h"
#include "display/profile_summary.h"
#include "platform/guid.h"
#include "platform/sync.h"
#include "session/event_threads.h"

class DeviceSession;

// A command the driver reports as active, most recent first in the display state's list.
struct ActiveCommand {
  platform::Guid command;
  uint32_t control = 0;
  uint32_t kind = 0;
};

// Whether display states write their texts to the display: off unless the environment variable
// SKYHELM_DISPLAY_STRINGS is "1". Read at each construction.
bool DisplayStringsEnabledByEnvironment();

class CDisplayState {
 public:
  CDisplayState();
  // Stops the four threads (command, shift, profile, clutch) before anything is freed.
  ~CDisplayState();
  CDisplayState(const CDisplayState&) = delete;
  CDisplayState& operator=(const CDisplayState&) = delete;

  // Initialises the clutch, reads the active profile and shift state from the driver, builds the
  // summary, sets the texts and the shift indicator, then starts the four threads. False, with
  // nothing read and no thread started, when the clutch cannot read the member GUID.
  bool InitDisplay(DeviceSession& session);
  // Writes again, when output is enabled, what InitDisplay wrote (the profile text, then the
  // shift text), and nothing when InitDisplay failed. The session calls it once its output
  // tables are loaded: the writes InitDisplay makes before then have no string table.
  void ShowTexts();
  // Stops the four threads; they may be started again by InitDisplay.
  void StopThreads();

  // Rebuilds the name tables from the profile at path (empty: none).
  void LoadProfileSummary(const std::u16string& path);

  // Event handlers; each takes the display state's lock.
  void OnClutchStateChanged(bool engaged, uint32_t type);
  void OnProfileChanged(const std::u16string& path, const platform::Guid& shift);
  void OnShiftStateChanged(const platform::Guid& shift);
  void OnCommandStateChanged(const platform::Guid& command, uint32_t control, uint32_t kind,
                             uint32_t state);

  // Held by every handler and by InitDisplay; the session also takes it to publish its output
  // tables, which the handlers read. Recursive.
  platform::Mutex& lock() { return lock_; }

  // Snapshots for inspection; each takes the lock.
  bool output_enabled();
  std::u16string shift_text();
  std::u16string command_text();
  std::u16string profile_text();
  ProfileSummary summary();
  std::list<ActiveCommand> active_commands();
  CClutch& clutch() { return clutch_; }

 private:
  void WriteString(uint32_t id, const std::u16string& text);

  DeviceSession* session_ = nullptr;
  const bool output_enabled_;
  bool initialised_ = false;  // InitDisplay got past the clutch's Init
  std::u16string shift_text_ = u"Mode 1";
  std::u16string command_text_;
  std::u16string profile_text_ = u"No Profile";
  ProfileSummary summary_;
  std::list<ActiveCommand> active_commands_;
  platform::Mutex lock_;
  CClutch clutch_;
  CClutchThread clutch_thread_;
  CProfileThread profile_thread_;
  CShiftThread shift_thread_;
  CCommandThread command_thread_;
};
