// skyhelm-doc outputs: the output tables an output configuration file yields, as JSON.
#include <cstdio>
#include <string>

#include "commands.h"
#include "log/log.h"
#include "output/output_tables.h"
#include "platform/text.h"

namespace skyhelm_doc {
namespace {

void AppendMember(std::string* out, const char* name, uint32_t value, bool first = false) {
  if (!first) out->push_back(',');
  out->append("\"").append(name).append("\":").append(std::to_string(value));
}

void AppendLeds(std::string* out, const OutputTables& tables) {
  out->append("\"leds\":[");
  bool first = true;
  for (const auto& [id, led] : tables.leds) {
    out->append(first ? "{" : ",{");
    first = false;
    AppendMember(out, "id", led.id, true);
    AppendMember(out, "command", led.command);
    AppendMember(out, "index", led.index);
    AppendMember(out, "maxvalue", led.max_value);
    out->push_back('}');
  }
  out->push_back(']');
}

void AppendStrings(std::string* out, const OutputTables& tables) {
  out->append("\"strings\":[");
  bool first = true;
  for (const auto& [id, string] : tables.strings) {
    out->append(first ? "{" : ",{");
    first = false;
    AppendMember(out, "id", string.id, true);
    AppendMember(out, "clearcommand", string.clear_command);
    AppendMember(out, "setcommand", string.set_command);
    AppendMember(out, "maxlength", string.max_length);
    AppendMember(out, "marqueetime", string.marquee_time);
    out->push_back('}');
  }
  out->push_back(']');
}

void AppendShiftButtons(std::string* out, const OutputTables& tables) {
  out->append("\"shiftbuttons\":[");
  bool first = true;
  for (const auto& [usage, same] : tables.shift_buttons) {
    if (!first) out->push_back(',');
    first = false;
    out->append(std::to_string(usage));
  }
  out->push_back(']');
}

}  // namespace

int RunOutputs(int argc, char** argv) {
  if (argc != 2) return UsageError("usage: skyhelm-doc outputs FILE");
  // SKYHELM_LOG=3 shows the entries as the service logs them.
  InstallLogReceiverFromEnvironment();
  OutputTables tables;
  switch (LoadOutputConfigurationFile(&tables, platform::FromUtf8(argv[1]))) {
    case VexNode::LoadStatus::kCannotOpen:
      return kExitUsage;  // the loader has printed why
    case VexNode::LoadStatus::kSyntaxError:
      return kExitReaderFailed;
    case VexNode::LoadStatus::kLoaded:
      break;
  }
  std::string out = "{";
  AppendLeds(&out, tables);
  out.push_back(',');
  AppendStrings(&out, tables);
  out.push_back(',');
  AppendShiftButtons(&out, tables);
  out.append("}\n");
  std::fwrite(out.data(), 1, out.size(), stdout);
  return kExitRead;
}

}  // namespace skyhelm_doc
