// Staged copies, their commit and their undo.
#include <windows.h>

#include "staged_files.h"

#include "console.h"
#include "folders.h"

namespace setup {
namespace {

constexpr wchar_t kNewSuffix[] = L".skyhelm-new";
constexpr wchar_t kKeptSuffix[] = L".skyhelm-old";

}  // namespace

StagedFiles::~StagedFiles() {
  if (!done_) Undo();
}

std::wstring StagedFiles::Path(const std::wstring& name) const { return Join(folder_, name); }

bool StagedFiles::Copy(const std::wstring& from, const std::wstring& name) {
  const std::wstring temporary = Path(name) + kNewSuffix;
  // Recorded first: a copy that fails half-way may leave a partial file to remove.
  staged_.push_back({name});
  if (!CopyFileW(from.c_str(), temporary.c_str(), FALSE)) {
    Complain(L"could not copy " + from + L" into " + folder_ + L": " + ErrorText(GetLastError()));
    return false;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(temporary.c_str(), GetFileExInfoStandard, &data)) {
    bytes_ += (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  names_.push_back(name);
  return true;
}

bool StagedFiles::StageManifest() {
  staged_.push_back({kManifestName});
  DWORD error = ERROR_SUCCESS;
  if (!WriteManifest(Path(kManifestName) + kNewSuffix, names_, &error)) {
    Complain(L"could not write the list of installed files into " + folder_ + L": " + ErrorText(error));
    return false;
  }
  return true;
}

bool StagedFiles::Commit() {
  for (Staged& staged : staged_) {
    const std::wstring path = Path(staged.name);
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
      if (!MoveFileExW(path.c_str(), (path + kKeptSuffix).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        Complain(L"could not replace " + path + L": " + ErrorText(GetLastError()));
        Undo();
        return false;
      }
      staged.kept = true;
    }
    if (!MoveFileExW((path + kNewSuffix).c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      Complain(L"could not put " + path + L" in place: " + ErrorText(GetLastError()));
      Undo();
      return false;
    }
    staged.placed = true;
  }
  return true;
}

bool StagedFiles::Undo() {
  bool all = true;
  for (auto staged = staged_.rbegin(); staged != staged_.rend(); ++staged) {
    const std::wstring path = Path(staged->name);
    if (!staged->placed) {
      DeleteFileW((path + kNewSuffix).c_str());
    } else if (!DeleteFileW(path.c_str())) {
      Complain(L"could not remove the new " + path + L": " + ErrorText(GetLastError()));
      all = false;
      continue;
    }
    if (staged->kept && !MoveFileExW((path + kKeptSuffix).c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      Complain(L"could not put back " + path + L" (it is kept as " + path + kKeptSuffix + L"): " +
               ErrorText(GetLastError()));
      all = false;
    }
  }
  staged_.clear();
  done_ = true;
  return all;
}

void StagedFiles::Finish(const std::vector<std::wstring>& previous) {
  for (const Staged& staged : staged_) {
    if (staged.kept) DeleteFileW((Path(staged.name) + kKeptSuffix).c_str());
  }
  for (const std::wstring& name : previous) {
    bool still = false;
    for (const std::wstring& current : names_) still = still || SameText(name, current);
    if (!still) DeleteFileW(Path(name).c_str());
  }
  staged_.clear();
  done_ = true;
}

}  // namespace setup
