// LogMessage: the filter, the prefix and the bounded line handed to the installed receiver.
#include "log/log.h"

#include <cstdarg>

#include "log/wide_format.h"
#include "platform/sync.h"

LogSink g_log_sink;

namespace {

// The log name in front of every line: empty for the whole life of the process.
const char16_t kLogName[] = u"";

}  // namespace

void LogMessage(uint8_t level, uint64_t category_mask, const char16_t* format, ...) {
  const LogSink& sink = g_log_sink;
  if (sink.enabled != 1 || sink.context == nullptr || level > sink.maximum_level ||
      (category_mask & sink.category_mask) == 0) {
    return;
  }
  // The line lives on the stack: a line can then never fail for lack of memory.
  char16_t line[kLogLineUnits] = {};
  size_t prefix = FormatWide(line, kLogLineUnits, u"[%s(0x%x)(0x%x)]", kLogName,
                             platform::CurrentProcessId(), platform::CurrentThreadId());
  // The message gets the room behind the prefix but one unit: the last unit stays unused.
  va_list args;
  va_start(args, format);
  FormatWideV(line + prefix, kLogLineUnits - 1 - prefix, format, args);
  va_end(args);
  if (sink.receiver != nullptr) sink.receiver(sink.context, level, category_mask, line);
}
