// The clutch's profile folders: where the root folder comes from, the list of one folder and
// the text shown for the selected entry.
#include <cstring>

#include "clutch/clutch.h"
#include "driver/control_codes.h"
#include "driver/driver_channel.h"
#include "log/log.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/registry.h"
#include "session/device_session.h"

namespace {

constexpr char16_t kProfileDirectoriesKey[] = u"Software\\Corvane\\ProfileDirectories";
// A common documents folder this long leaves too little room for the appended component.
constexpr size_t kMaxDocumentsUnits = 250;

bool IsDotName(const std::u16string& name) { return name == u"." || name == u".."; }

}  // namespace

bool CClutch::ReadProfileDirectory(const platform::Guid& member, char16_t* buffer) {
  // The value is named by the GUID in its registry form, braces included.
  const std::u16string value_name = u"{" + platform::FormatGuid(member) + u"}";
  return platform::ReadMachineString(kProfileDirectoriesKey, value_name, buffer,
                                     platform::kMaxPath);
}

std::vector<std::u16string> CClutch::RegisteredRootFolders() {
  std::vector<std::u16string> names, folders;
  platform::MachineValueNames(kProfileDirectoriesKey, &names);
  for (const std::u16string& name : names) {
    platform::Guid member;
    char16_t buffer[platform::kMaxPath] = {};
    if (platform::ParseGuid(name, &member) && ReadProfileDirectory(member, buffer)) {
      folders.push_back(buffer);
    }
  }
  return folders;
}

std::u16string CClutch::DefaultRootFolder() {
  std::u16string documents;
  if (!platform::CommonDocumentsFolder(&documents) || documents.size() >= kMaxDocumentsUnits) {
    return platform::RootFallback();
  }
  char16_t buffer[platform::kMaxPath] = {};
  std::memcpy(buffer, documents.data(), documents.size() * sizeof(char16_t));
  platform::PathAppend(buffer, u"Corvane");
  return buffer;
}

bool CClutch::Init(DeviceSession& session) {
  DriverChannel channel;
  channel.Open(session.path(), false);
  if (!channel.Control(IOCTL_GET_MEMBER_GUID, nullptr, 0, &member_guid_, sizeof member_guid_)) {
    channel.Close();
    return false;
  }
  char16_t buffer[platform::kMaxPath] = {};
  root_folder_ = ReadProfileDirectory(member_guid_, buffer) ? buffer : DefaultRootFolder();
  const bool ok = channel.Control(IOCTL_GET_CONTROLLER_GUID, nullptr, 0, &controller_guid_,
                                  sizeof controller_guid_);
  channel.Close();
  return ok;
}

std::u16string CClutch::SearchPattern(std::u16string_view wildcard) const {
  // The current folder begins with a separator, so the pattern carries two in a row; the file
  // system takes them as one.
  std::u16string pattern = root_folder_;
  if (!current_folder_.empty()) {
    pattern += platform::kPathSeparator;
    pattern += current_folder_;
  }
  pattern += platform::kPathSeparator;
  pattern += wildcard;
  return pattern;
}

void CClutch::AddFolders() {
  platform::FileSearch search;
  platform::FoundFile found;
  for (bool more = search.First(SearchPattern(u"*.*"), &found); more; more = search.Next(&found)) {
    if (!found.IsDirectory() || IsDotName(found.name)) continue;
    profile_list_.push_back({found.name, true});
    LogMessage(3, 2, u"- Adding \"[%ws]\"", found.name.c_str());
  }
}

void CClutch::AddProfiles() {
  platform::FileSearch search;
  platform::FoundFile found;
  for (bool more = search.First(SearchPattern(u"*.pr0"), &found); more;
       more = search.Next(&found)) {
    if (found.IsDirectory()) continue;
    std::u16string name = found.name;
    const size_t dot = name.rfind(u'.');
    if (dot != std::u16string::npos) name.resize(dot);
    LogMessage(3, 2, u"- Adding \"%ws\"", name.c_str());
    profile_list_.push_back({std::move(name), false});
  }
}

void CClutch::BuildList() {
  LogMessage(3, 2, u"Building Profile List in \"%ws%ws\"", root_folder_.c_str(),
             current_folder_.c_str());
  selected_index_ = 0;
  profile_list_.clear();
  // An empty root (no member GUID, or an empty registry value) names no folder: it must never
  // be taken for the file system's root, whose search patterns it would give.
  if (root_folder_.empty() ||
      platform::FileAttributes(root_folder_) == platform::kInvalidAttributes) {
    LogMessage(3, 2, u"- Profile Folder does not exist");
  } else {
    if (!current_folder_.empty()) {
      profile_list_.push_back({u"..", true});
      LogMessage(3, 2, u"- Adding \"[..]\"");
    }
    AddFolders();
    AddProfiles();
  }
  LogMessage(3, 2, u"- Profile List Complete");
}

void CClutch::ShowCurrent(DeviceSession& session) {
  if (selected_index_ >= profile_list_.size()) selected_index_ = 0;
  if (profile_list_.empty()) {
    ShowText(session, u"No Items", 8);
    return;
  }
  const ProfileListEntry& entry = profile_list_[selected_index_];
  const std::u16string text = entry.is_folder ? u"[" + entry.name + u"]" : entry.name;
  ShowText(session, text.c_str(), static_cast<uint32_t>(text.size()));
}
