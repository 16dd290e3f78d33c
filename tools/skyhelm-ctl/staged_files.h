// All-or-nothing replacement of the files in the install folder: every file is first copied
// under a temporary name; only when all copies are made are they renamed into place, the files
// they replace kept aside until the install is complete, so that a failure at any step puts the
// folder back as it was.
#pragma once

#include <string>
#include <vector>

namespace setup {

class StagedFiles {
 public:
  explicit StagedFiles(std::wstring folder) : folder_(std::move(folder)) {}
  // Whatever is not finished is undone.
  ~StagedFiles();
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;

  // Copies from into the folder under a temporary name for name. False (said so) on failure.
  bool Copy(const std::wstring& from, const std::wstring& name);
  // Writes the manifest naming every file copied, under a temporary name. False on failure.
  bool StageManifest();
  // Renames every staged file into place, keeping the files replaced aside. False (said so, and
  // everything put back) when one cannot be renamed.
  bool Commit();
  // Puts the folder back as it was before this run: the new files go, the kept ones return.
  // False (said so) when something could not be put back.
  bool Undo();
  // Deletes the files kept aside, and the files of the previous manifest (previous) that this
  // install no longer has: the install is complete.
  void Finish(const std::vector<std::wstring>& previous);

  const std::vector<std::wstring>& names() const { return names_; }
  // The bytes of the files copied.
  unsigned long long bytes() const { return bytes_; }

 private:
  struct Staged {
    std::wstring name;
    bool placed = false;   // renamed into place
    bool kept = false;     // a file it replaces is kept aside
  };
  std::wstring Path(const std::wstring& name) const;

  std::wstring folder_;
  std::vector<std::wstring> names_;
  std::vector<Staged> staged_;
  unsigned long long bytes_ = 0;
  bool done_ = false;
};

}  // namespace setup
