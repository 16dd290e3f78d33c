// The OS-independent part of the program seam.
#include "platform/programs.h"

namespace platform {

std::u16string FileNameOf(const std::u16string& path) {
  size_t slash = path.find_last_of(u"/\\");
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

std::u16string ProgramNameOf(const ProgramInfo& program) {
  return FileNameOf(!program.windows_path.empty() ? program.windows_path : program.path);
}

}  // namespace platform
