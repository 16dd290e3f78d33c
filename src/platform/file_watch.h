// A watch of one file through its folder (ReadDirectoryChangesW on Windows, inotify on Linux):
// reports that the file was created, written, replaced by a rename or deleted. No polling.
#pragma once

#include <memory>
#include <string>

namespace platform {

// The automatic-profile rules file: $SKYHELM_RULES when set; else %APPDATA%\Skyhelm\rules.toml
// on Windows, $XDG_CONFIG_HOME/skyhelm/rules.toml (~/.config/skyhelm/rules.toml) on Linux.
// Empty when no location can be formed.
std::u16string RulesFilePath();

// Whether the file exists but another program holds it so that it cannot be read now (a sharing
// violation on Windows, while an editor writes it); never on Linux, where nothing locks a file
// against reading.
bool FileHeldByAnother(const std::u16string& path);

// Called from the watch's own thread after the file may have changed. Several changes close
// together may be reported once; the receiver rereads the file.
using FileChangeSink = void (*)(void* context);

class FileWatch {
 public:
  FileWatch(std::u16string path, FileChangeSink sink, void* context);
  ~FileWatch();  // stops the watch and joins its thread
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // Creates the file's folder when missing and starts the thread that watches it. False when
  // the folder cannot be created or watched.
  bool Start();
  void Stop();

  struct State;  // each OS's half defines it

 private:
  std::u16string path_;
  FileChangeSink sink_;
  void* context_;
  std::unique_ptr<State> state_;
};

}  // namespace platform
