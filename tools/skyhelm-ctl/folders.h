// Paths and folders as setup sees them: joining, full paths, the same folder however written,
// the .dat files of a folder and the list of the files an install put into its folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace setup {

std::wstring Join(const std::wstring& folder, const std::wstring& name);
bool SameText(const std::wstring& a, const std::wstring& b);
bool IsFile(const std::wstring& path);
bool IsFolder(const std::wstring& path);
// The absolute form of a path, without a trailing backslash (unless it is a drive root).
std::wstring FullPath(const std::wstring& path);
std::wstring ParentFolder(const std::wstring& path);
std::wstring ThisProgramPath();
// The user's local programs folder plus "Skyhelm" (%LOCALAPPDATA%\Programs\Skyhelm); empty when
// unknown.
std::wstring DefaultInstallFolder();
// %LOCALAPPDATA%\Skyhelm\skyhelm.log, the service's log file.
std::wstring LogFilePath();

// Whether two paths name the same folder however they are written (short names, a junction or
// link, another case): compared by volume serial number and file id. Paths that do not both
// exist are compared as full paths, without regard to case.
bool SameFolder(const std::wstring& a, const std::wstring& b);

// The names of the .dat files directly in a folder, in the order the folder lists them.
std::vector<std::wstring> DatFiles(const std::wstring& folder);

// The list of installed files kept in the install folder: the one rule by which uninstall and a
// later install know what is setup's to remove.
inline constexpr wchar_t kManifestName[] = L"installed-files.txt";
// Writes names (one a line, UTF-8) to path. False with the error in *error.
bool WriteManifest(const std::wstring& path, const std::vector<std::wstring>& names, DWORD* error);
// The names a folder's manifest lists; false when there is none. Names that are not plain file
// names of that folder (a separator, a drive, "." or "..") are left out: a list that was tampered
// with must not reach outside the folder.
bool ReadManifest(const std::wstring& folder, std::vector<std::wstring>* names);

}  // namespace setup
