// libFuzzer target: the document reader over any byte sequence, with a check of every text it
// reports.
#include <cstdint>
#include <vector>

#include "document/parser.h"
#include "fuzz_input.h"

namespace {

struct Sink {
  fuzz::Input input;
  uint64_t checksum = 0;
  int64_t depth = 0;
};

// Reads every unit of every reported text so that the sanitizers see any stale pointer.
void OnStart(void* user, const char16_t* name, VexNode::AttributeList attributes) {
  auto* sink = static_cast<Sink*>(user);
  ++sink->depth;
  for (const char16_t* p = name; *p != 0; ++p) sink->checksum += *p;
  for (const VexNode::AttributePair* e = attributes; e->name != nullptr; ++e) {
    for (const char16_t* p = e->Name(); *p != 0; ++p) sink->checksum += *p;
    for (char16_t unit : e->ValueView()) sink->checksum += unit;
  }
  if (attributes[0].Name() != name) __builtin_trap();
}

void OnEnd(void* user) {
  auto* sink = static_cast<Sink*>(user);
  if (--sink->depth < 0) __builtin_trap();  // more ends than starts
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t capacity = fuzz::Input::Capacity(data[0]);
  Sink sink{fuzz::Input{data + 1, size - 1}};
  VexNode::ParseContext context;
  context.ReadInput = fuzz::ReadUnits;
  context.OnElementStart = OnStart;
  context.OnElementEnd = OnEnd;
  std::vector<char16_t> window(capacity, u'\0');
  const bool ok = context.Parse(window.data(), &sink, capacity);
  // Success means every element was closed; failure always carries a message.
  if (ok != (context.Message() == nullptr)) __builtin_trap();
  if (ok && sink.depth != 0) __builtin_trap();
  return 0;
}
