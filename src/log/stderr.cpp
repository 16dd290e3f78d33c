// PrintToStderr: narrow formatted text on the C runtime's standard error stream.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "log/log.h"
#include "log/narrow_format.h"

void PrintToStderr(const char* format, ...) {
  std::string text;
  va_list args;
  va_start(args, format);
  FormatNarrowV(&text, format, args);
  va_end(args);
  // One write per call, so that lines of concurrent callers do not interleave.
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}
