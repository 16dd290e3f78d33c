// Folders in a place every user may write to (/tmp), accepted only when no other user can have
// made them or can change what lies inside.
#pragma once

#include <string>

namespace platform::posix {

// Creates folder (mode 0700) when it is missing, then accepts it only when it is a directory
// itself (not a link to one), owned by this user, and writable neither by its group nor by
// others. On refusal *reason says why, for the log.
bool EnsurePrivateFolder(const std::string& folder, std::string* reason);

// The fall-back for $XDG_RUNTIME_DIR: /tmp/skyhelm-UID.
std::string SharedTempFolder();

}  // namespace platform::posix
