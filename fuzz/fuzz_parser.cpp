// libFuzzer target: the document reader over any byte sequence, differentially. Every reported text
// is read in full, and the one-pass head path, which finds tokens through the block scan, must
// report exactly what the token-by-token path reports, through each block classifier the processor
// offers (table, SSE2, AVX2).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "document/parser.h"
#include "document/scan.h"
#include "fuzz_input.h"

namespace {

struct Sink {
  fuzz::Input input;
  std::u16string log;  // every event, texts included
  int64_t depth = 0;
};

bool ReadInput(void* user, char16_t* destination, size_t* count) {
  return fuzz::ReadUnits(&static_cast<Sink*>(user)->input, destination, count);
}

void Append(Sink* sink, std::u16string_view text) {
  sink->log += text;
  sink->log.push_back(u'\uFFFF');
}

void OnStart(void* user, const char16_t* name, VexNode::AttributeList attributes) {
  auto* sink = static_cast<Sink*>(user);
  ++sink->depth;
  if (attributes[0].Name() != name) __builtin_trap();
  sink->log += u"<";
  for (const VexNode::AttributePair* e = attributes; e->name != nullptr; ++e) {
    Append(sink, e->Name());
    Append(sink, e->ValueView());
  }
}

void OnEnd(void* user) {
  auto* sink = static_cast<Sink*>(user);
  if (--sink->depth < 0) __builtin_trap();  // more ends than starts
  sink->log += u">";
}

struct Outcome {
  bool ok;
  std::u16string message;
  std::u16string log;
};

Outcome Run(const uint8_t* data, size_t size, bool fast_heads) {
  const size_t capacity = fuzz::Input::Capacity(data[0]);
  Sink sink{fuzz::Input{data + 1, size - 1}, {}, 0};
  VexNode::ParseContext context;
  context.ReadInput = ReadInput;
  context.OnElementStart = OnStart;
  context.OnElementEnd = OnEnd;
  context.SetFastHeads(fast_heads);
  std::vector<char16_t> window(capacity, u'\0');
  const bool ok = context.Parse(window.data(), &sink, capacity);
  // Success means every element was closed; failure always carries a message.
  if (ok != (context.Message() == nullptr)) __builtin_trap();
  if (ok && sink.depth != 0) __builtin_trap();
  return Outcome{ok, ok ? u"" : context.Message(), std::move(sink.log)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The classifiers themselves: the same boundary and quote masks for the input's units.
  std::vector<char16_t> units((size - 1) / 2);
  fuzz::Input whole{data + 1, size - 1};
  size_t count = std::min(units.size(), VexNode::kWindowUnits);
  fuzz::ReadUnits(&whole, units.data(), &count);
  constexpr size_t kBlocks = VexNode::kWindowUnits / VexNode::scan::kBlockUnits;
  uint64_t expected[2][kBlocks] = {};
  VexNode::scan::UseClassifier(VexNode::scan::Classifier::kTable);
  VexNode::scan::ScanBlocks(units.data(), count, expected[0], expected[1]);
  for (auto classifier : {VexNode::scan::Classifier::kSse2, VexNode::scan::Classifier::kAvx2}) {
    uint64_t masks[2][kBlocks] = {};
    if (!VexNode::scan::UseClassifier(classifier)) continue;
    VexNode::scan::ScanBlocks(units.data(), count, masks[0], masks[1]);
    if (std::memcmp(masks, expected, sizeof masks) != 0) __builtin_trap();
  }
  const Outcome slow = Run(data, size, false);
  for (auto classifier : {VexNode::scan::Classifier::kTable, VexNode::scan::Classifier::kSse2,
                          VexNode::scan::Classifier::kAvx2}) {
    if (!VexNode::scan::UseClassifier(classifier)) continue;
    const Outcome fast = Run(data, size, true);
    if (fast.ok != slow.ok || fast.message != slow.message || fast.log != slow.log) __builtin_trap();
  }
  VexNode::scan::UseClassifier(VexNode::scan::BestClassifier());
  return 0;
}
