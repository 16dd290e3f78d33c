// Benchmark: the document reader (parse alone and full tree loading) against pugixml, RapidXML
// and expat reading the same content as XML, on generated documents of 100 KB, 1 MB and 10 MB.
#include <benchmark/benchmark.h>
#include <expat.h>
#include <rapidxml/rapidxml.hpp>

#include <cstdio>
#include <cstring>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "document/factory.h"
#include "document/node_reader.h"
#include "document/parser.h"

namespace {

// One generated document in every form the parsers read.
struct Corpus {
  std::u16string document;  // the bracketed syntax, byte order mark first
  std::u16string xml16;     // XML in UTF-16, byte order mark first
  std::string xml8;         // the same XML in UTF-8
  size_t elements = 0;
};

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// About 72 UTF-16 units per element: indented LEDs with five attributes, fifty to a group.
Corpus Generate(size_t target_bytes) {
  Corpus c;
  std::string doc = "[outputlist version=1";
  std::string xml = "<?xml version=\"1.0\"?>\r\n<outputlist version=\"1\">";
  size_t group = 0;
  while (doc.size() * 2 < target_bytes) {
    const std::string g = std::to_string(group++);
    doc += "\r\n [group id=" + g;
    xml += "\r\n <group id=\"" + g + "\">";
    ++c.elements;
    for (int i = 0; i < 50; ++i) {
      const std::string n = std::to_string(1000 + i);
      doc += "\r\n  [led id=" + n + " command=0x1F index=3 maxvalue=255 name='Gear up " + n + "']";
      xml += "\r\n  <led id=\"" + n + "\" command=\"0x1F\" index=\"3\" maxvalue=\"255\" name=\"Gear up " + n + "\"/>";
      ++c.elements;
    }
    doc += "]";
    xml += "</group>";
  }
  doc += "\r\n]";
  xml += "\r\n</outputlist>";
  ++c.elements;
  c.document = u"\uFEFF" + Widen(doc);
  c.xml16 = u"\uFEFF" + Widen(xml);
  c.xml8 = xml;
  return c;
}

const Corpus& CorpusFor(int64_t kilobytes) {
  static std::vector<std::pair<int64_t, std::unique_ptr<Corpus>>> cache;
  for (auto& [size, corpus] : cache) {
    if (size == kilobytes) return *corpus;
  }
  cache.emplace_back(kilobytes, std::make_unique<Corpus>(Generate(static_cast<size_t>(kilobytes) * 1000)));
  return *cache.back().second;
}

void SetCounters(benchmark::State& state, size_t bytes, size_t elements) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["elements/s"] =
      benchmark::Counter(static_cast<double>(elements), benchmark::Counter::kIsIterationInvariantRate);
}

// The reader's input: units copied out of memory, as a file read would.
struct MemoryInput {
  const char16_t* units;
  size_t size;
  size_t at;
};

bool ReadMemory(void* user, char16_t* destination, size_t* count) {
  auto* in = static_cast<MemoryInput*>(user);
  const size_t n = std::min(*count, in->size - in->at);
  std::memcpy(destination, in->units + in->at, n * sizeof(char16_t));
  in->at += n;
  *count = n;
  return n != 0;
}

void IgnoreStart(void*, const char16_t*, VexNode::AttributeList) {}
void IgnoreEnd(void*) {}

struct CountingInput {
  MemoryInput input;
  size_t starts = 0;
};

// One untimed pass that checks the document reads and holds the expected elements.
bool CheckDocument(const Corpus& c) {
  VexNode::ParseContext context;
  context.ReadInput = [](void* user, char16_t* destination, size_t* count) {
    return ReadMemory(&static_cast<CountingInput*>(user)->input, destination, count);
  };
  context.OnElementStart = [](void* user, const char16_t*, VexNode::AttributeList) {
    ++static_cast<CountingInput*>(user)->starts;
  };
  std::vector<char16_t> window(VexNode::kWindowUnits);
  CountingInput in{{c.document.data(), c.document.size(), 0}};
  return context.Parse(window.data(), &in) && in.starts == c.elements;
}

void BM_Parse(benchmark::State& state) {
  const Corpus& c = CorpusFor(state.range(0));
  if (!CheckDocument(c)) state.SkipWithError("generated document does not read");
  auto context = std::make_unique<VexNode::ParseContext>();
  context->ReadInput = ReadMemory;
  context->OnElementStart = IgnoreStart;
  context->OnElementEnd = IgnoreEnd;
  std::vector<char16_t> window(VexNode::kWindowUnits);
  for (auto _ : state) {
    MemoryInput in{c.document.data(), c.document.size(), 0};
    std::fill(window.begin(), window.end(), u'\0');
    if (!context->Parse(window.data(), &in)) state.SkipWithError("parse failed");
  }
  SetCounters(state, c.document.size() * 2, c.elements);
}

// The loader's callbacks need a ReaderState as user context; the input rides behind it.
struct LoadInput {
  VexNode::ReaderState reader;
  MemoryInput input;
};

bool ReadLoadInput(void* user, char16_t* destination, size_t* count) {
  return ReadMemory(&static_cast<LoadInput*>(user)->input, destination, count);
}

void BM_LoadTree(benchmark::State& state) {
  const Corpus& c = CorpusFor(state.range(0));
  auto context = std::make_unique<VexNode::ParseContext>();
  context->ReadInput = ReadLoadInput;
  context->OnElementStart = VexNode::CNode_Reader::OnElementStart;
  context->OnElementEnd = VexNode::CNode_Reader::OnElementEnd;
  std::vector<char16_t> window(VexNode::kWindowUnits);
  for (auto _ : state) {
    VexNode::CFactory factory;
    factory.SetGenericMode(true);
    LoadInput load{{}, {c.document.data(), c.document.size(), 0}};
    load.reader.factory = &factory;
    std::fill(window.begin(), window.end(), u'\0');
    if (!context->Parse(window.data(), &load)) state.SkipWithError("parse failed");
    delete load.reader.root;
  }
  SetCounters(state, c.document.size() * 2, c.elements);
}

// In-situ parsers destroy their input: each pass gets a fresh copy, outside the timing.
template <typename Unit, typename Parse>
void RunInSitu(benchmark::State& state, const std::basic_string<Unit>& source, size_t elements, Parse parse) {
  std::vector<Unit> buffer(source.size() + 1);
  for (auto _ : state) {
    state.PauseTiming();
    std::copy(source.begin(), source.end(), buffer.begin());
    buffer.back() = 0;
    state.ResumeTiming();
    parse(buffer.data(), source.size());
  }
  SetCounters(state, source.size() * sizeof(Unit), elements);
}

template <unsigned Options>
void PugiParse(benchmark::State& state, void* data, size_t bytes, pugi::xml_encoding encoding) {
  pugi::xml_document doc;
  pugi::xml_parse_result result = doc.load_buffer_inplace(data, bytes, Options, encoding);
  if (!result) state.SkipWithError("pugixml failed");
  benchmark::DoNotOptimize(doc.first_child());
}

template <unsigned Options>
void BM_PugiUtf16(benchmark::State& state) {
  const Corpus& c = CorpusFor(state.range(0));
  RunInSitu(state, c.xml16, c.elements, [&](char16_t* data, size_t units) {
    PugiParse<Options>(state, data, units * 2, pugi::encoding_utf16_le);
  });
}

template <unsigned Options>
void BM_PugiUtf8(benchmark::State& state) {
  const Corpus& c = CorpusFor(state.range(0));
  RunInSitu(state, c.xml8, c.elements,
            [&](char* data, size_t bytes) { PugiParse<Options>(state, data, bytes, pugi::encoding_utf8); });
}

template <typename Unit>
void RapidParse(Unit* data) {
  rapidxml::xml_document<Unit> doc;
  doc.template parse<0>(data);
  benchmark::DoNotOptimize(doc.first_node());
}

void BM_RapidXmlUtf16(benchmark::State& state) {
  const Corpus& c = CorpusFor(state.range(0));
  // RapidXML takes no byte order mark.
  const std::u16string source = c.xml16.substr(1);
  RunInSitu(state, source, c.elements, [](char16_t* data, size_t) { RapidParse(data); });
}

void BM_RapidXmlUtf8(benchmark::State& state) {
  const Corpus& c = CorpusFor(state.range(0));
  RunInSitu(state, c.xml8, c.elements, [](char* data, size_t) { RapidParse(data); });
}

void ExpatStart(void* user, const XML_Char*, const XML_Char**) { ++*static_cast<size_t*>(user); }
void ExpatEnd(void*, const XML_Char*) {}

void ExpatParse(benchmark::State& state, const char* data, size_t bytes, size_t elements) {
  for (auto _ : state) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    size_t seen = 0;
    XML_SetUserData(parser, &seen);
    XML_SetElementHandler(parser, ExpatStart, ExpatEnd);
    if (XML_Parse(parser, data, static_cast<int>(bytes), 1) != XML_STATUS_OK || seen != elements) {
      state.SkipWithError("expat failed");
    }
    XML_ParserFree(parser);
  }
  SetCounters(state, bytes, elements);
}

void BM_ExpatUtf16(benchmark::State& state) {
  const Corpus& c = CorpusFor(state.range(0));
  ExpatParse(state, reinterpret_cast<const char*>(c.xml16.data()), c.xml16.size() * 2, c.elements);
}

void BM_ExpatUtf8(benchmark::State& state) {
  const Corpus& c = CorpusFor(state.range(0));
  ExpatParse(state, c.xml8.data(), c.xml8.size(), c.elements);
}

// Sizes in kilobytes of the bracketed document (UTF-16).
void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Parse)->Apply(Sizes);
BENCHMARK(BM_LoadTree)->Apply(Sizes);
BENCHMARK(BM_PugiUtf16<pugi::parse_minimal>)->Name("BM_PugiUtf16Minimal")->Apply(Sizes);
BENCHMARK(BM_PugiUtf16<pugi::parse_default>)->Name("BM_PugiUtf16Default")->Apply(Sizes);
BENCHMARK(BM_PugiUtf8<pugi::parse_minimal>)->Name("BM_PugiUtf8Minimal")->Apply(Sizes);
BENCHMARK(BM_PugiUtf8<pugi::parse_default>)->Name("BM_PugiUtf8Default")->Apply(Sizes);
BENCHMARK(BM_RapidXmlUtf16)->Apply(Sizes);
BENCHMARK(BM_RapidXmlUtf8)->Apply(Sizes);
BENCHMARK(BM_ExpatUtf16)->Apply(Sizes);
BENCHMARK(BM_ExpatUtf8)->Apply(Sizes);

}  // namespace
