// The standard log receiver, installed from the environment variable SKYHELM_LOG.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "log/log.h"
#include "log/log_file.h"
#include "platform/debug_output.h"
#include "platform/folders.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace {

int g_receiver_context = 0;  // the sink needs a non-null context; the receiver ignores it
// Set before any thread logs, like the sink; never destroyed, since threads may log until exit.
LogFile* g_log_file = nullptr;

void StandardReceiver(void* context, uint8_t level, uint64_t category_mask, const char16_t* line) {
  if (g_log_file != nullptr) g_log_file->Append(line);
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

bool OpenLogFile() {
  std::u16string folder;
  if (g_log_sink.enabled != 1 || g_log_file != nullptr || !platform::LogFileFolder(&folder)) {
    return false;
  }
  auto* file = new LogFile;
  if (!file->Open(folder)) {
    delete file;
    return false;
  }
  // Each start begins with a line that says when, so that a user's file shows the runs apart.
  char started[32] = "";
  const std::time_t now = std::time(nullptr);
  if (const std::tm* local = std::localtime(&now)) {
    std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S", local);
  }
  const std::string header = std::string("--- Skyhelm started ") + started + ", process 0x";
  char id[16];
  std::snprintf(id, sizeof id, "%x", static_cast<unsigned>(platform::CurrentProcessId()));
  file->Append(platform::FromUtf8(header + id + ", log level " +
                                  std::to_string(g_log_sink.maximum_level) + " ---"));
  g_log_file = file;
  return true;
}
