// Well-known folders on Linux: the documents and Windows stand-ins under $SKYHELM_ROOT, and the
// running executable from /proc.
#include "platform/folders.h"

#include <unistd.h>

#include <string>

#include "platform/posix/stand_in.h"
#include "platform/text.h"

namespace platform {
namespace {

bool RootChild(const char* child, std::u16string* out) {
  std::string root;
  if (!posix::SkyhelmRoot(&root)) return false;
  *out = FromUtf8(root + "/" + child);
  return true;
}

}  // namespace

std::u16string RootFallback() {
  // The stand-in root plays the drive: documents/ and windows/ lie in it.
  std::string root;
  return FromUtf8(posix::SkyhelmRoot(&root) ? root : std::string("/"));
}

bool CommonDocumentsFolder(std::u16string* out) { return RootChild("documents", out); }

bool WindowsFolderFromShell(std::u16string* out) { return RootChild("windows", out); }

bool WindowsDirectory(std::u16string* out) {
  std::u16string folder;
  if (!RootChild("windows", &folder) || folder.size() >= kMaxPath) return false;
  *out = folder;
  return true;
}

bool LogFileFolder(std::u16string* /*out*/) { return false; }

bool ExecutablePath(std::u16string* out, uint32_t buffer_units) {
  std::string target(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", target.data(), target.size());
  if (length <= 0 || static_cast<size_t>(length) >= target.size()) return false;
  target.resize(static_cast<size_t>(length));
  std::u16string path = FromUtf8(target);
  // A path cut to fit the caller's buffer would name another file: report failure instead.
  if (path.size() >= buffer_units) return false;
  *out = path;
  return true;
}

}  // namespace platform
