// The journal of what a run against the real service changes in the system (the Wine prefix):
// registry values, devices of the stand-in driver, files and folders, the service process. Each
// change is written to the journal before it is made, so that a run that is killed can be undone
// afterwards by `skyhelm-sim clean`, which replays the journal.
#pragma once

#include <filesystem>
#include <string>

namespace simtool {

class PrefixJournal {
 public:
  // The value `value` of HKEY_LOCAL_MACHINE\key is about to be set: records how to put it back
  // (the old value, none, or the topmost key that setting it creates).
  bool RegistryValue(const std::wstring& key, const std::wstring& value);
  // The device of this instance id is about to be created.
  bool Device(const std::wstring& instance);
  // This file or folder is about to be created.
  bool Path(const std::filesystem::path& path);
  // The service is about to start.
  bool Service();

  // Undoes every recorded change: the service is asked to close first, then the rest goes newest
  // first; the journal is deleted. Nothing to do when there is no journal.
  static void Replay();

 private:
  static std::filesystem::path File();
  bool Append(const std::wstring& line);
};

}  // namespace simtool
