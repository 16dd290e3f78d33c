// PrintToStderr: formatted narrow text, with UTF-16 arguments, on the standard error stream.
#include <gtest/gtest.h>

#include <string>

#include "log/log.h"

namespace {

TEST(PrintToStderr, WritesFormattedTextWithWideArguments) {
  testing::internal::CaptureStderr();
  PrintToStderr("error %d in %ls: %s\n", 7, u"\u00e9.dat", "unexpected ']'");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error 7 in \xc3\xa9.dat: unexpected ']'\n");
}

}  // namespace
