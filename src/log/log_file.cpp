// The bounded log file with one previous file kept.
#include "log/log_file.h"

#include <filesystem>
#include <system_error>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/text.h"

namespace {

std::filesystem::path FsPath(const std::u16string& path) { return std::filesystem::path(path); }

#ifdef _WIN32
std::FILE* OpenFile(const std::u16string& path, const char* mode) {
  // _wfopen shares the file for reading and writing: a user can open it while the service runs.
  const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(reinterpret_cast<const wchar_t*>(path.c_str()), wide_mode.c_str());
}
#else
std::FILE* OpenFile(const std::u16string& path, const char* mode) {
  return std::fopen(platform::ToUtf8(path).c_str(), mode);
}
#endif

}  // namespace

LogFile::~LogFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool LogFile::Open(const std::u16string& folder) {
  std::lock_guard<std::mutex> hold(mutex_);
  std::error_code error;
  std::filesystem::create_directories(FsPath(folder), error);
  path_ = folder + platform::kPathSeparator + kLogFileName;
  return Reopen("ab");
}

bool LogFile::Reopen(const char* mode) {
  if (file_ != nullptr) std::fclose(file_);
  file_ = OpenFile(path_, mode);
  size_ = 0;
  if (file_ == nullptr) return false;
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(FsPath(path_), error);
  if (!error) size_ = size;
  return true;
}

void LogFile::RollOver() {
  std::fclose(file_);
  file_ = nullptr;
  // The previous file goes only when the current one takes its place: a file that cannot be
  // moved keeps its lines, and so does the previous one.
  const bool moved = platform::MoveFileReplacing(path_, path_ + u".1");
  Reopen("ab");
  retry_at_ = moved ? 0 : size_ + limit_ / 16;
}

void LogFile::Append(std::u16string_view line) {
  std::string text = platform::ToUtf8(line);
  text += "\r\n";
  std::lock_guard<std::mutex> hold(mutex_);
  if (file_ == nullptr) return;
  if (size_ > 0 && size_ + text.size() > limit_ && size_ >= retry_at_) {
    RollOver();
    if (file_ == nullptr) return;
  }
  size_ += std::fwrite(text.data(), 1, text.size(), file_);
  std::fflush(file_);
}
