// The Linux process entry: a second instance ends at once with 0 and attaches nothing.
#ifndef _WIN32

#include <stdlib.h>

#include <gtest/gtest.h>

#include "app/process_entry.h"
#include "devices/device_manager.h"
#include "platform/instance.h"

TEST(ProcessEntry, ASecondInstanceReturnsZeroAtOnceAndAttachesNothing) {
  char pattern[] = "/tmp/skyhelm-entry-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  setenv("SKYHELM_DEVICE_DIR", (folder + "/devices").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
  ASSERT_EQ(platform::AcquireInstanceGuard(app::kInstanceName), platform::InstanceGuard::kAcquired);
  EXPECT_EQ(app::ProcessEntry(nullptr), 0);
  EXPECT_TRUE(devices::AttachedDevices().empty());
  unsetenv("SKYHELM_DEVICE_DIR");
  unsetenv("XDG_RUNTIME_DIR");
  ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
}

#endif  // _WIN32
