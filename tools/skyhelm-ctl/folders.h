// Paths as skyhelm-ctl sees them.
#pragma once

#include <string>

namespace ctl {

std::wstring Join(const std::wstring& folder, const std::wstring& name);
// Whether two texts are equal regardless of case (as Windows compares file names).
bool SameText(const std::wstring& a, const std::wstring& b);
bool IsFile(const std::wstring& path);
bool IsFolder(const std::wstring& path);
std::wstring ParentFolder(const std::wstring& path);
// %LOCALAPPDATA%\Skyhelm\skyhelm.log, the service's log file.
std::wstring LogFilePath();

}  // namespace ctl
