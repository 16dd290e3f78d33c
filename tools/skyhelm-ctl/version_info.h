// The version a program carries in its version resource.
#pragma once

#include <string>

namespace ctl {

// The ProductVersion string of the program's version resource (its first language), else its
// fixed file version as "major.minor.patch"; empty when the file has no version resource.
std::wstring ProgramVersion(const std::wstring& path);

}  // namespace ctl
