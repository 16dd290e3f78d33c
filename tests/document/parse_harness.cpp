// Test helpers: run the document reader over text held in memory and record its events.
#include "parse_harness.h"

#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include "document/scan.h"

namespace document_test {
namespace {

struct Source {
  std::u16string_view units;
  size_t at = 0;
  ParseRun* run = nullptr;
};

bool ReadUnits(void* user, char16_t* destination, size_t* count) {
  auto* source = static_cast<Source*>(user);
  const size_t n = std::min(*count, source->units.size() - source->at);
  std::copy_n(source->units.data() + source->at, n, destination);
  source->at += n;
  *count = n;
  return n != 0;
}

void OnStart(void* user, const char16_t* name, VexNode::AttributeList attributes) {
  std::vector<std::pair<std::u16string, std::u16string>> pairs;
  for (const VexNode::AttributePair* entry = attributes + 1; entry->name != nullptr; ++entry) {
    pairs.emplace_back(entry->Name(), entry->ValueView());
  }
  static_cast<Source*>(user)->run->events.push_back(Head(name, attributes[0].ValueView(), pairs));
}

void OnEnd(void* user) { static_cast<Source*>(user)->run->events.push_back(u"]"); }

}  // namespace

ParseRun ParseUnits(std::u16string_view units, size_t capacity, bool fast_heads) {
  ParseRun run;
  Source source{units, 0, &run};
  auto context = std::make_unique<VexNode::ParseContext>();
  context->ReadInput = ReadUnits;
  context->OnElementStart = OnStart;
  context->OnElementEnd = OnEnd;
  context->SetFastHeads(fast_heads);
  std::vector<char16_t> window(capacity, u'\0');
  run.ok = context->Parse(window.data(), &source, capacity);
  if (context->Message() != nullptr) run.message = context->Message();
  return run;
}

ParseRun ParseText(std::u16string_view text, size_t capacity) {
  std::u16string units = u"\uFEFF";
  units += text;
  ParseRun slow = ParseUnits(units, capacity, false);
  // The one-pass path through every block classifier this processor offers, the best one last so
  // that it stays in use.
  ParseRun fast;
  const VexNode::scan::Classifier best = VexNode::scan::BestClassifier();
  for (auto classifier : {VexNode::scan::Classifier::kTable, VexNode::scan::Classifier::kSse2,
                          VexNode::scan::Classifier::kAvx2, best}) {
    if (!VexNode::scan::UseClassifier(classifier)) continue;
    fast = ParseUnits(units, capacity, true);
    EXPECT_EQ(fast.ok, slow.ok);
    EXPECT_EQ(fast.message, slow.message);
    EXPECT_EQ(fast.events, slow.events);
  }
  return fast;
}

std::u16string Head(std::u16string_view name, std::u16string_view value,
                    std::vector<std::pair<std::u16string, std::u16string>> attributes) {
  std::u16string out = u"<";
  out += name;
  out += u"|";
  out += value;
  for (const auto& [n, v] : attributes) {
    out += u"|";
    out += n;
    out += u"=";
    out += v;
  }
  out += u">";
  return out;
}

std::string DocumentBytes(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

}  // namespace document_test
