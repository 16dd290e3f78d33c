// The clutch: browsing the profile folders on the controller's display and loading the chosen
// profile, driven by the driver's clutch events (engaged flag and event type).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/device_io.h"
#include "platform/guid.h"
#include "platform/sync.h"

class DeviceSession;
class DriverChannel;

// One entry of the browsed folder: a sub-folder, ".." for the parent, or a profile file's name
// without its extension.
struct ProfileListEntry {
  std::u16string name;
  bool is_folder = false;

  friend bool operator==(const ProfileListEntry&, const ProfileListEntry&) = default;
};

// Called with true when the clutch engages and with false when it is released.
using ClutchNotification = void (*)(void* context, bool engaged);

// Browsing state and event rule of a clutch. The base class shows its text in display string 2
// of the session; a controller's own clutch overrides ShowText.
class CClutch {
 public:
  CClutch();
  virtual ~CClutch();
  CClutch(const CClutch&) = delete;
  CClutch& operator=(const CClutch&) = delete;

  // Shows text (length UTF-16 units) for the selected entry.
  virtual void ShowText(DeviceSession& session, const char16_t* text, uint32_t length);

  // Reads the member and controller GUIDs and the profile root folder; true when the controller
  // GUID was read. The browsed folder and the list are kept, so browsing resumes where it was.
  bool Init(DeviceSession& session);
  // The root folder registered for the member GUID, read into buffer (platform::kMaxPath units).
  static bool ReadProfileDirectory(const platform::Guid& member, char16_t* buffer);
  // The root folder of a controller whose member GUID has none registered: the common documents
  // folder with "Corvane" appended, or the root fallback.
  static std::u16string DefaultRootFolder();
  // Every root folder registered for a member GUID, in the registry's order.
  static std::vector<std::u16string> RegisteredRootFolders();
  // Rebuilds the list of the current folder: "..", the sub-folders, then the profiles.
  void BuildList();
  void ShowCurrent(DeviceSession& session);

  // Applies one clutch event; true only when it released the clutch.
  bool HandleEvent(DeviceSession& session, bool engaged, uint32_t type);
  void Engage(DeviceSession& session);
  void Release(DeviceSession& session);
  void SelectNext(DeviceSession& session);
  void SelectPrevious(DeviceSession& session);
  void Choose(DeviceSession& session);
  void ClearProfile(DeviceSession& session);
  // Loads the profile file at path through channel and activates it; true when both succeeded.
  static bool LoadProfileFile(DriverChannel& channel, const std::u16string& path);

  // Installs (or, with nulls, clears) the function called on engage and release.
  void SetNotification(ClutchNotification function, void* context);

  const platform::Guid& member_guid() const { return member_guid_; }
  const platform::Guid& controller_guid() const { return controller_guid_; }
  bool engaged() const { return engaged_; }
  // How many profiles the user has loaded or cleared with this clutch (requests that succeeded).
  uint64_t choices() const { return choices_; }
  uint32_t last_event_type() const { return last_event_type_; }
  const std::u16string& root_folder() const { return root_folder_; }
  const std::u16string& current_folder() const { return current_folder_; }
  uint32_t selected_index() const { return selected_index_; }
  const std::vector<ProfileListEntry>& profile_list() const { return profile_list_; }

 private:
  void Notify(bool engaged);
  void SendClutchMode(DeviceSession& session, uint32_t mode);
  std::u16string SearchPattern(std::u16string_view wildcard) const;
  void AddFolders();
  void AddProfiles();

  platform::Guid member_guid_;
  platform::Guid controller_guid_;
  platform::Mutex mutex_;
  ClutchNotification notification_ = nullptr;
  void* notification_context_ = nullptr;
  bool engaged_ = false;
  uint64_t choices_ = 0;
  uint32_t last_event_type_ = 0;
  std::u16string root_folder_;
  std::u16string current_folder_;
  uint32_t selected_index_ = 0;
  std::vector<ProfileListEntry> profile_list_;
};

namespace Corvane::Vexmoor {

// The clutch of an attached controller: shows its text with the controller's own clutch-text
// request on the controller's device handle, which it borrows from the device list.
class CArdrithClutch : public CClutch {
 public:
  explicit CArdrithClutch(platform::DeviceHandle device = nullptr) : device_(device) {}

  void ShowText(DeviceSession& session, const char16_t* text, uint32_t length) override;

  void SetDevice(platform::DeviceHandle device) { device_ = device; }
  platform::DeviceHandle device() const { return device_; }

 private:
  platform::DeviceHandle device_;
};

}  // namespace Corvane::Vexmoor
