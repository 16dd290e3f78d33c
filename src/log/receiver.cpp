// The standard log receiver, installed from the environment variable SKYHELM_LOG.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/log.h"
#include "platform/debug_output.h"
#include "platform/text.h"

namespace {

int g_receiver_context = 0;  // the sink needs a non-null context; the receiver ignores it

void StandardReceiver(void* context, uint8_t level, uint64_t category_mask, const char16_t* line) {
  std::u16string text(line);
  text.push_back(u'\n');
  platform::WriteDebugOutput(text);
  std::string utf8 = platform::ToUtf8(text);
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool ParseLogLevel(const char* text, uint8_t* level) {
  if (text == nullptr || text[0] < '1' || text[0] > '4' || text[1] != '\0') return false;
  *level = static_cast<uint8_t>(text[0] - '0');
  return true;
}

void InstallStandardLogReceiver(uint8_t maximum_level) {
  g_log_sink.context = &g_receiver_context;
  g_log_sink.receiver = StandardReceiver;
  g_log_sink.maximum_level = maximum_level;
  g_log_sink.category_mask = ~uint64_t{0};
  g_log_sink.enabled = 1;
}

bool InstallLogReceiverFromEnvironment() {
  uint8_t level = 0;
  if (!ParseLogLevel(std::getenv("SKYHELM_LOG"), &level)) return false;
  InstallStandardLogReceiver(level);
  return true;
}
