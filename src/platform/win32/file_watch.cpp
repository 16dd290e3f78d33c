// The rules file's location and its folder watch on Windows: not yet supported.
#include "platform/file_watch.h"

#include <utility>

namespace platform {

struct FileWatch::State {};

std::u16string RulesFilePath() { return std::u16string(); }

FileWatch::FileWatch(std::u16string path, FileChangeSink sink, void* context)
    : path_(std::move(path)), sink_(sink), context_(context) {}
FileWatch::~FileWatch() { Stop(); }
bool FileWatch::Start() { return false; }
void FileWatch::Stop() { state_.reset(); }

}  // namespace platform
