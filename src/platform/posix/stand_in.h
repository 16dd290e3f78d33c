// Linux stand-ins for Windows locations: the $SKYHELM_ROOT folder, UTF-8 paths, and the
// case-insensitive name lookup that the registry stand-in needs.
#pragma once

#include <string>
#include <string_view>

namespace platform::posix {

// $SKYHELM_ROOT, else $XDG_DATA_HOME/skyhelm, else $HOME/.local/share/skyhelm; without a
// trailing '/'. False when none of them can be found.
bool SkyhelmRoot(std::string* out);

// Compares two names the way Windows compares registry and file names: without regard to case.
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// The entry of folder whose name equals name without regard to case (an exact match wins).
// Names that could leave the folder ("", ".", "..", or holding '/' or NUL) are never found.
bool FindEntryNoCase(const std::string& folder, std::u16string_view name, std::string* out);

}  // namespace platform::posix
