// The path of a profile the driver holds: asking the driver for it and making it a full path.
#include "display/profile_path.h"

#include <cstring>
#include <vector>

#include "driver/control_codes.h"
#include "driver/driver_buffers.h"
#include "driver/driver_channel.h"
#include "platform/folders.h"

namespace {

// No path is longer than this; a larger announced length is a faulty reply, not a size to
// allocate.
constexpr uint32_t kLongestPathUnits = 32767;

bool AskPath(DriverChannel& channel, uint32_t profile_id, std::vector<uint8_t>* reply) {
  const auto request = BuildProfileIdInput(profile_id);
  return channel.Control(IOCTL_PROFILE_GET_PATH, request.data(), request.size(), reply->data(),
                         static_cast<uint32_t>(reply->size()));
}

}  // namespace

bool QueryProfilePath(DriverChannel& channel, uint32_t profile_id, std::u16string* path,
                      bool* absolute) {
  std::vector<uint8_t> buffer(kProfilePathFirstReplyBytes, 0);
  ProfilePathReply reply;
  if (!AskPath(channel, profile_id, &buffer)) return false;
  ParseProfilePathReply(buffer.data(), buffer.size(), &reply);
  if (reply.kind > kProfilePathRelative) {
    // The first buffer was too small: ask once more with room for the announced length.
    if (reply.length > kLongestPathUnits) return false;
    buffer.assign(ProfilePathRetryBytes(reply.length), 0);
    if (!AskPath(channel, profile_id, &buffer) ||
        !ParseProfilePathReply(buffer.data(), buffer.size(), &reply)) {
      return false;
    }
  }
  if (reply.path.size() >= platform::kMaxPath) return false;
  if (reply.kind != kProfilePathAbsolute && reply.kind != kProfilePathRelative) return false;
  *path = std::move(reply.path);
  *absolute = reply.kind == kProfilePathAbsolute;
  return true;
}

std::u16string ResolveProfilePath(const std::u16string& path, bool absolute) {
  if (absolute) return path;
  std::u16string base;
  if (!platform::WindowsFolderFromShell(&base) && !platform::WindowsDirectory(&base)) {
    base = platform::RootFallback() + platform::kPathSeparator + u"Windows";
  }
  if (base.size() >= platform::kMaxPath) base.resize(platform::kMaxPath - 1);
  char16_t buffer[platform::kMaxPath] = {};
  std::memcpy(buffer, base.data(), base.size() * sizeof(char16_t));
  // A path that cannot be joined is no path, as a failed query is: the base folder alone would
  // be taken for the profile.
  if (!platform::PathAppend(buffer, path)) return u"";
  return buffer;
}

std::u16string QueryActiveProfilePath(DriverChannel& channel) {
  uint32_t profile_id = 0;
  if (!channel.Control(IOCTL_GET_PROFILE_ID, nullptr, 0, &profile_id, sizeof profile_id)) {
    profile_id = 0;
  }
  std::u16string path;
  bool absolute = false;
  if (!QueryProfilePath(channel, profile_id, &path, &absolute)) return u"";
  return ResolveProfilePath(path, absolute);
}
