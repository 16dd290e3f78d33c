// The single-instance guard: the first taker holds it for the life of the process.
#include "platform/instance.h"

#include <gtest/gtest.h>

TEST(InstanceGuard, ASecondAcquireOfTheSameNameFindsItRunning) {
  const std::u16string name = u"Skyhelm.Test.InstanceGuard";
  ASSERT_EQ(platform::AcquireInstanceGuard(name), platform::InstanceGuard::kAcquired);
  EXPECT_EQ(platform::AcquireInstanceGuard(name), platform::InstanceGuard::kAlreadyRunning);
  EXPECT_EQ(platform::AcquireInstanceGuard(u"Skyhelm.Test.OtherName"),
            platform::InstanceGuard::kAcquired);
}
