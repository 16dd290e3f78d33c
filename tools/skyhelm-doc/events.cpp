// skyhelm-doc events FILE: the reader's events as JSON lines.
#include <cstdio>
#include <string>

#include "commands.h"
#include "document/parser.h"
#include "json.h"

namespace skyhelm_doc {
namespace {

struct EventsOutput {
  std::FILE* file;
  std::string line;
};

void Emit(EventsOutput* out) {
  out->line.push_back('\n');
  std::fwrite(out->line.data(), 1, out->line.size(), stdout);
  out->line.clear();
}

bool ReadUnits(void* user, char16_t* destination, size_t* count) {
  *count = std::fread(destination, sizeof(char16_t), *count, static_cast<EventsOutput*>(user)->file);
  return *count != 0;
}

void OnElementStart(void* user, const char16_t* name, VexNode::AttributeList attributes) {
  auto* out = static_cast<EventsOutput*>(user);
  out->line += "{\"start\":";
  AppendJsonString(&out->line, name);
  out->line += ",\"value\":";
  AppendJsonString(&out->line, attributes[0].ValueView());
  out->line += ",\"attrs\":[";
  for (const VexNode::AttributePair* entry = attributes + 1; entry->name != nullptr; ++entry) {
    if (entry != attributes + 1) out->line.push_back(',');
    out->line.push_back('[');
    AppendJsonString(&out->line, entry->Name());
    out->line.push_back(',');
    AppendJsonString(&out->line, entry->ValueView());
    out->line.push_back(']');
  }
  out->line += "]}";
  Emit(out);
}

void OnElementEnd(void* user) {
  auto* out = static_cast<EventsOutput*>(user);
  out->line += "{\"end\":true}";
  Emit(out);
}

}  // namespace

int RunEvents(int argc, char** argv) {
  if (argc != 2) return UsageError("usage: skyhelm-doc events FILE");
  std::FILE* file = OpenDocument(argv[1]);
  if (file == nullptr) return UsageError(std::string("cannot open ") + argv[1]);
  EventsOutput out{file, {}};
  VexNode::CPr0Parser parser;
  VexNode::ParseContext* context = parser.Context();
  context->ReadInput = ReadUnits;
  context->OnElementStart = OnElementStart;
  context->OnElementEnd = OnElementEnd;
  std::u16string window(VexNode::kWindowUnits, u'\0');
  const bool ok = VexNode::Parse(context, window.data(), &out);
  std::fclose(file);
  if (ok) {
    out.line = "{\"ok\":true}";
  } else {
    out.line = "{\"error\":";
    AppendJsonString(&out.line, context->Message());
    out.line.push_back('}');
  }
  Emit(&out);
  std::fflush(stdout);
  return ok ? kExitRead : kExitReaderFailed;
}

}  // namespace skyhelm_doc
