// Well-known folders and the single-instance guard.
#ifdef _WIN32
#include <windows.h>
#include <sddl.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/instance.h"
#include "platform/sync.h"
#include "stand_in.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/private_folder.h"
#endif

namespace platform {
namespace {

TEST(Folders, KnownFoldersAreAvailable) {
  testing::TempRoot root;
  std::u16string documents, windows, windows_directory, executable;
  ASSERT_TRUE(CommonDocumentsFolder(&documents));
  ASSERT_TRUE(WindowsFolderFromShell(&windows));
  ASSERT_TRUE(WindowsDirectory(&windows_directory));
  EXPECT_FALSE(documents.empty());
  EXPECT_LT(windows_directory.size(), kMaxPath);
  ASSERT_TRUE(ExecutablePath(&executable));
  EXPECT_NE(FileAttributes(executable), kInvalidAttributes);
  EXPECT_EQ(FileAttributes(executable) & kAttributeDirectory, 0u);
  EXPECT_NE(executable.find(u"test_platform"), std::u16string::npos);
  EXPECT_FALSE(ExecutablePath(&executable, 4)) << "a path cut to fit is no path";
}

#ifndef _WIN32
TEST(Folders, LinuxStandInsLieUnderTheRoot) {
  testing::TempRoot root;
  std::u16string documents, windows, windows_directory;
  ASSERT_TRUE(CommonDocumentsFolder(&documents));
  ASSERT_TRUE(WindowsFolderFromShell(&windows));
  ASSERT_TRUE(WindowsDirectory(&windows_directory));
  EXPECT_EQ(documents, root.u16() + u"/documents");
  EXPECT_EQ(windows, root.u16() + u"/windows");
  EXPECT_EQ(windows_directory, windows);
  // The drive-root fall-back is the stand-in root: a real folder, never "" (which names none).
  EXPECT_EQ(RootFallback(), root.u16());
}
#endif

TEST(Instance, SecondGuardOfTheSameNameFindsTheFirst) {
  // A name of this run only, so that parallel test runs do not meet; on Linux the lock files
  // go into the temporary root, which goes away with the test.
  testing::TempRoot root;
#ifndef _WIN32
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  std::string previous = saved != nullptr ? saved : "";
  setenv("XDG_RUNTIME_DIR", root.path().c_str(), 1);
#endif
  std::u16string name = u"Skyhelm.Test.Instance.";
  for (char c : std::to_string(CurrentProcessId())) name += static_cast<char16_t>(c);
  EXPECT_EQ(AcquireInstanceGuard(name), InstanceGuard::kAcquired);
  EXPECT_EQ(AcquireInstanceGuard(name), InstanceGuard::kAlreadyRunning);
  EXPECT_EQ(AcquireInstanceGuard(name + u".other"), InstanceGuard::kAcquired);
#ifndef _WIN32
  EXPECT_TRUE(std::filesystem::exists(root.path() / ("Skyhelm.Test.Instance." +
                                                     std::to_string(CurrentProcessId()) + ".lock")));
  if (saved != nullptr) {
    setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
#endif
}

#ifndef _WIN32
// The /tmp fall-back folders: another user may have made them first.
TEST(PrivateFolder, MadeWhenMissingAndRefusedUnlessTheUsersAlone) {
  testing::TempRoot root;
  std::string reason;
  const std::string made = (root.path() / "made").string();
  ASSERT_TRUE(posix::EnsurePrivateFolder(made, &reason)) << reason;
  struct stat info;
  ASSERT_EQ(lstat(made.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_TRUE(posix::EnsurePrivateFolder(made, &reason)) << "an existing private folder is kept";

  ASSERT_EQ(chmod(made.c_str(), 0720), 0);
  EXPECT_FALSE(posix::EnsurePrivateFolder(made, &reason));
  EXPECT_EQ(reason, made + " may be written by other users");
  ASSERT_EQ(chmod(made.c_str(), 0702), 0);
  EXPECT_FALSE(posix::EnsurePrivateFolder(made, &reason));

  const std::string link = (root.path() / "link").string();
  ASSERT_EQ(chmod(made.c_str(), 0700), 0);
  ASSERT_EQ(symlink(made.c_str(), link.c_str()), 0);
  EXPECT_FALSE(posix::EnsurePrivateFolder(link, &reason)) << "a link to a private folder";
  EXPECT_EQ(reason, link + " is not a folder");

  // Another user's folder: root can make one; anyone else meets one in "/" (owned by root).
  std::string foreign = "/";
  if (getuid() == 0) {
    foreign = (root.path() / "foreign").string();
    ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  }
  EXPECT_FALSE(posix::EnsurePrivateFolder(foreign, &reason));
  EXPECT_NE(reason.find(" belongs to user "), std::string::npos) << reason;
}

TEST(Instance, WithoutAUsableRuntimeFolderTheGuardFails) {
  testing::TempRoot root;
  const std::string file = (root.path() / "file").string();
  ASSERT_EQ(std::system(("touch '" + file + "'").c_str()), 0);
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved != nullptr ? saved : "";
  setenv("XDG_RUNTIME_DIR", file.c_str(), 1);
  EXPECT_EQ(AcquireInstanceGuard(u"Skyhelm.Test.NoFolder"), InstanceGuard::kFailed);
  if (saved != nullptr) {
    setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
}
#endif

#ifdef _WIN32
// An instance running with higher rights (here: as the system account, which alone may use the
// mutex) makes OpenMutexW fail with ERROR_ACCESS_DENIED. That is an instance already running,
// not a reason to start a second one.
TEST(Instance, AMutexThatRefusesAccessCountsAsAlreadyRunning) {
  std::u16string name = u"Skyhelm.Test.Refused.";
  for (char c : std::to_string(CurrentProcessId())) name += static_cast<char16_t>(c);
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(name.c_str());
  HANDLE refusing = nullptr;
  // Owned by the system account where that may be set (Wine), else owned by us.
  for (const wchar_t* text : {L"O:SYD:(A;;GA;;;SY)", L"D:(A;;GA;;;SY)"}) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    refusing = CreateMutexW(&attributes, FALSE, wide);
    LocalFree(descriptor);
    if (refusing != nullptr) break;
  }
  ASSERT_NE(refusing, nullptr);
  HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, wide);
  const DWORD error = GetLastError();
  if (opened != nullptr) CloseHandle(opened);
  ASSERT_EQ(opened, nullptr) << "the mutex does not refuse access here";
  ASSERT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(AcquireInstanceGuard(name), InstanceGuard::kAlreadyRunning);
  CloseHandle(refusing);
  // Once the refusing instance is gone, the name is free again.
  EXPECT_EQ(AcquireInstanceGuard(name), InstanceGuard::kAcquired);
}
#endif

}  // namespace
}  // namespace platform
