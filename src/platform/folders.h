// Well-known folders and path joining. On Linux the common documents and Windows folders lie under
// $SKYHELM_ROOT (documents/ and windows/).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

inline constexpr uint32_t kMaxPath = 260;  // units, terminator included

#ifdef _WIN32
inline constexpr char16_t kPathSeparator = u'\\';
#else
inline constexpr char16_t kPathSeparator = u'/';
#endif

// The folder that stands first on this platform's paths when a root folder is missing: "C:" on
// Windows; on Linux the $SKYHELM_ROOT stand-in root ("/" when there is none). Never empty.
std::u16string RootFallback();

// All-users documents folder (CSIDL_COMMON_DOCUMENTS).
bool CommonDocumentsFolder(std::u16string* out);
// The Windows folder: SHGetSpecialFolderPathW(CSIDL_WINDOWS).
bool WindowsFolderFromShell(std::u16string* out);
// The Windows folder: GetWindowsDirectoryW into a buffer of kMaxPath units.
bool WindowsDirectory(std::u16string* out);
// The folder of the service's own log file: %LOCALAPPDATA%\Skyhelm on Windows. False on Linux,
// where the log goes to standard error (and so to the journal) only.
bool LogFileFolder(std::u16string* out);
// Full path of the running executable (GetModuleFileNameW), up to buffer_units units.
bool ExecutablePath(std::u16string* out, uint32_t buffer_units = 512);

// PathAppendW on a kMaxPath-unit buffer holding a terminated path: joins more to path with one
// native separator ("\" and "/" both count as separators in the input), drops "." and resolves
// ".." segments as PathCanonicalize does. False, path unchanged, when the result would not fit.
bool PathAppend(char16_t* path, std::u16string_view more);

}  // namespace platform
