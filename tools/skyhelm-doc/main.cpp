// skyhelm-doc: reads .dat and .pr0 documents with the service's own reader and prints what it
// sees, and checks automatic-profile rules files.
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "platform/files.h"
#include "platform/text.h"

namespace skyhelm_doc {

int UsageError(const std::string& reason) {
  std::fprintf(stderr, "skyhelm-doc: %s\n", reason.c_str());
  return kExitUsage;
}

std::FILE* OpenDocument(const char* path) { return platform::OpenSharedRead(platform::FromUtf8(path), "rb"); }

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);  // argv[0] is the command name
};

const Command kCommands[] = {
    {"events", RunEvents},
    {"tree", RunTree},
    {"outputs", RunOutputs},
    {"summary", RunSummary},
    {"rules", RunRules},
};

}  // namespace
}  // namespace skyhelm_doc

int main(int argc, char** argv) {
  using namespace skyhelm_doc;
  if (argc >= 2) {
    for (const Command& command : kCommands) {
      if (std::strcmp(argv[1], command.name) == 0) return command.run(argc - 1, argv + 1);
    }
  }
  std::string known;
  for (const Command& command : kCommands) known += std::string(known.empty() ? "" : "|") + command.name;
  return UsageError("usage: skyhelm-doc " + known + " ...");
}
