// skyhelm-doc summary: the profile summary a display state would build from a profile, for a
// device given by its member and controller GUIDs and its shift buttons, as JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "display/profile_summary.h"
#include "json.h"
#include "platform/guid.h"
#include "platform/text.h"

namespace skyhelm_doc {
namespace {

int Usage() {
  return UsageError(
      "usage: skyhelm-doc summary FILE [--member GUID] [--controller GUID] "
      "[--shift-buttons N,...]");
}

void AppendJsonGuid(std::string* out, const platform::Guid& guid) {
  AppendJsonString(out, u"{" + platform::FormatGuid(guid) + u"}");
}

// A decimal number, or hexadecimal after 0x, that fits 32 bits.
bool ParseNumber(std::u16string_view text, uint32_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 10) return false;
  uint64_t number = 0;
  for (char16_t c : text) {
    int digit = -1;
    if (c >= u'0' && c <= u'9') digit = c - u'0';
    if (base == 16 && c >= u'a' && c <= u'f') digit = c - u'a' + 10;
    if (base == 16 && c >= u'A' && c <= u'F') digit = c - u'A' + 10;
    if (digit < 0 || digit >= base) return false;
    number = number * base + digit;
  }
  if (number > 0xFFFFFFFFu) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

bool ParseShiftButtons(std::u16string_view list, ShiftButtonSet* buttons) {
  while (true) {
    const size_t comma = list.find(u',');
    uint32_t usage = 0;
    if (!ParseNumber(list.substr(0, comma), &usage)) return false;
    (*buttons)[usage] = usage;
    if (comma == std::u16string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

struct SummaryArguments {
  std::u16string file;
  platform::Guid member;
  platform::Guid controller;
  ShiftButtonSet shift_buttons;
};

bool ParseArguments(const std::vector<std::u16string>& args, SummaryArguments* out) {
  if (args.empty() || args[0].starts_with(u"--")) return false;
  out->file = args[0];
  for (size_t i = 1; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return false;
    const std::u16string& value = args[i + 1];
    bool ok = false;
    if (args[i] == u"--member") {
      ok = platform::ParseGuid(value, &out->member);
    } else if (args[i] == u"--controller") {
      ok = platform::ParseGuid(value, &out->controller);
    } else if (args[i] == u"--shift-buttons") {
      ok = ParseShiftButtons(value, &out->shift_buttons);
    }
    if (!ok) return false;
  }
  return true;
}

std::string SummaryJson(const ProfileSummary& summary) {
  std::string out = "{\"profile\":";
  AppendJsonString(&out, summary.profile_name);
  out += ",\"commands\":[";
  for (auto it = summary.command_names.begin(); it != summary.command_names.end(); ++it) {
    out += it == summary.command_names.begin() ? "[" : ",[";
    AppendJsonGuid(&out, it->first);
    out += ",";
    AppendJsonString(&out, it->second);
    out += "]";
  }
  out += "],\"controls\":[";
  for (auto it = summary.control_names.begin(); it != summary.control_names.end(); ++it) {
    out += (it == summary.control_names.begin() ? "[" : ",[") + std::to_string(it->first) + ",";
    AppendJsonString(&out, it->second);
    out += "]";
  }
  out += "],\"shifts\":[";
  for (auto it = summary.shift_names.begin(); it != summary.shift_names.end(); ++it) {
    out += it == summary.shift_names.begin() ? "[" : ",[";
    AppendJsonGuid(&out, it->first);
    out += ",";
    AppendJsonString(&out, it->second);
    out += summary.default_shifts.at(it->first) ? ",true]" : ",false]";
  }
  out += "],\"ignore\":[";
  for (size_t i = 0; i < summary.command_ignore.size(); ++i) {
    const IgnoredCommand& ignored = summary.command_ignore[i];
    out += (i == 0 ? "[" : ",[") + std::to_string(ignored.kind) + "," +
           std::to_string(ignored.control) + "]";
  }
  out += "]}\n";
  return out;
}

}  // namespace

int RunSummary(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(platform::FromUtf8(argv[i]));
  SummaryArguments parsed;
  if (!ParseArguments(args, &parsed)) return Usage();
  ProfileSummary summary;
  const auto ids = [&](platform::Guid* member, platform::Guid* controller) {
    *member = parsed.member;
    *controller = parsed.controller;
  };
  switch (ReadProfileSummary(parsed.file, parsed.shift_buttons, ids, &summary)) {
    case SummaryOutcome::kNotOpened: return kExitUsage;  // the loader has printed why
    case SummaryOutcome::kNotRead: return kExitReaderFailed;
    case SummaryOutcome::kRead: break;
  }
  const std::string out = SummaryJson(summary);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return kExitRead;
}

}  // namespace skyhelm_doc
