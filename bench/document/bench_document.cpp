// Benchmark: the document reader (parse alone and full tree loading) against pugixml, RapidXML
// and expat reading the same content as XML, on two generated corpora (uniform LED lists and
// profile-shaped documents) of 100 KB, 1 MB and 10 MB; and the profile summary read.
//
// Every parser is timed for the same work: from the document in memory to its events or its tree.
// Our reader copies the document into its window as it reads (ReadMemory below), and that copy is
// timed; the in-situ parsers (pugixml's load_buffer_inplace, RapidXML) overwrite their input, so
// each pass copies the document into their buffer first, and that copy is timed as well. Both
// pugixml and RapidXML run in their default configuration and in their fastest one
// (pugi::parse_minimal; rapidxml::parse_fastest, which neither translates entities nor
// terminates names, and makes no data nodes).
#include <benchmark/benchmark.h>
#include <expat.h>
#include <rapidxml/rapidxml.hpp>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "bench/document/corpus.h"
#include "display/profile_summary.h"
#include "document/factory.h"
#include "document/node_reader.h"
#include "document/parser.h"
#include "platform/text.h"

namespace {

using bench_corpus::Corpus;
using bench_corpus::Shape;

// Every corpus is generated from the same seed, so that every run reads the same documents.
constexpr uint32_t kSeed = 20;

const Corpus& CorpusFor(Shape shape, int64_t kilobytes) {
  static std::vector<std::tuple<Shape, int64_t, std::unique_ptr<Corpus>>> cache;
  for (auto& [s, size, corpus] : cache) {
    if (s == shape && size == kilobytes) return *corpus;
  }
  cache.emplace_back(shape, kilobytes,
                     std::make_unique<Corpus>(bench_corpus::Generate(shape, static_cast<size_t>(kilobytes) * 1000, kSeed)));
  return *std::get<2>(cache.back());
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

void BM_Parse(benchmark::State& state, Shape shape) {
  const Corpus& c = CorpusFor(shape, state.range(0));
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

void BM_LoadTree(benchmark::State& state, Shape shape) {
  const Corpus& c = CorpusFor(shape, state.range(0));
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

// In-situ parsers destroy their input: each pass gets a fresh copy, timed like the copy our reader
// makes into its window. An untimed pass first checks that the parser finds as many elements as the
// document holds; parse answers the count when asked to, 0 otherwise.
template <typename Unit, typename Parse>
void RunInSitu(benchmark::State& state, const std::basic_string<Unit>& source, size_t elements, Parse parse) {
  std::vector<Unit> buffer(source.size() + 1);
  auto refresh = [&] {
    std::copy(source.begin(), source.end(), buffer.begin());
    buffer.back() = 0;
  };
  refresh();
  if (parse(buffer.data(), source.size(), true) != elements) state.SkipWithError("the XML holds other elements");
  for (auto _ : state) {
    refresh();
    parse(buffer.data(), source.size(), false);
  }
  SetCounters(state, source.size() * sizeof(Unit), elements);
}

size_t CountElements(pugi::xml_node node) {
  size_t count = 0;
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_element) count += 1 + CountElements(child);
  }
  return count;
}

template <typename Unit>
size_t CountElements(const rapidxml::xml_node<Unit>* node) {
  size_t count = 0;
  for (const rapidxml::xml_node<Unit>* child = node->first_node(); child != nullptr; child = child->next_sibling()) {
    if (child->type() == rapidxml::node_element) count += 1 + CountElements(child);
  }
  return count;
}

template <unsigned Options>
size_t PugiParse(benchmark::State& state, void* data, size_t bytes, pugi::xml_encoding encoding, bool count) {
  pugi::xml_document doc;
  pugi::xml_parse_result result = doc.load_buffer_inplace(data, bytes, Options, encoding);
  if (!result) state.SkipWithError("pugixml failed");
  benchmark::DoNotOptimize(doc.first_child());
  return count ? CountElements(doc) : 0;
}

template <unsigned Options>
void BM_PugiUtf16(benchmark::State& state, Shape shape) {
  const Corpus& c = CorpusFor(shape, state.range(0));
  RunInSitu(state, c.xml16, c.elements, [&](char16_t* data, size_t units, bool count) {
    return PugiParse<Options>(state, data, units * 2, pugi::encoding_utf16_le, count);
  });
}

template <unsigned Options>
void BM_PugiUtf8(benchmark::State& state, Shape shape) {
  const Corpus& c = CorpusFor(shape, state.range(0));
  RunInSitu(state, c.xml8, c.elements, [&](char* data, size_t bytes, bool count) {
    return PugiParse<Options>(state, data, bytes, pugi::encoding_utf8, count);
  });
}

template <int Flags, typename Unit>
size_t RapidParse(Unit* data, bool count) {
  rapidxml::xml_document<Unit> doc;
  doc.template parse<Flags>(data);
  benchmark::DoNotOptimize(doc.first_node());
  return count ? CountElements(&doc) : 0;
}

template <int Flags>
void BM_RapidXmlUtf16(benchmark::State& state, Shape shape) {
  const Corpus& c = CorpusFor(shape, state.range(0));
  // RapidXML takes no byte order mark.
  const std::u16string source = c.xml16.substr(1);
  RunInSitu(state, source, c.elements, [](char16_t* data, size_t, bool count) { return RapidParse<Flags>(data, count); });
}

template <int Flags>
void BM_RapidXmlUtf8(benchmark::State& state, Shape shape) {
  const Corpus& c = CorpusFor(shape, state.range(0));
  RunInSitu(state, c.xml8, c.elements, [](char* data, size_t, bool count) { return RapidParse<Flags>(data, count); });
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

void BM_ExpatUtf16(benchmark::State& state, Shape shape) {
  const Corpus& c = CorpusFor(shape, state.range(0));
  ExpatParse(state, reinterpret_cast<const char*>(c.xml16.data()), c.xml16.size() * 2, c.elements);
}

void BM_ExpatUtf8(benchmark::State& state, Shape shape) {
  const Corpus& c = CorpusFor(shape, state.range(0));
  ExpatParse(state, c.xml8.data(), c.xml8.size(), c.elements);
}

// The summary the display reads of the active profile, from a file as the service reads it.
void BM_ProfileSummaryRead(benchmark::State& state, Shape shape) {
  const Corpus& c = CorpusFor(shape, state.range(0));
  const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                     ("skyhelm-bench-" + std::to_string(getpid()) + "-" + std::to_string(state.range(0)) + ".pr0");
  {
    // x86 keeps its units little-endian, as the file holds them.
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(c.document.data()), static_cast<std::streamsize>(c.document.size() * 2));
  }
  const std::u16string path = platform::FromUtf8(file.string());
  const ShiftButtonSet no_buttons;
  const DeviceIdQuery ids = [](platform::Guid*, platform::Guid*) {};
  ProfileSummary summary;
  for (auto _ : state) {
    if (ReadProfileSummary(path, no_buttons, ids, &summary) != SummaryOutcome::kRead) {
      state.SkipWithError("profile not read");
      break;
    }
  }
  state.counters["commands"] = static_cast<double>(summary.command_names.size());
  SetCounters(state, c.document.size() * 2, c.elements);
  std::filesystem::remove(file);
}

// Sizes in kilobytes of the bracketed document (UTF-16).
void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
}

using BenchmarkFn = void (*)(benchmark::State&, Shape);

// Every benchmark on every corpus, named BM_x/<corpus>/<kilobytes>.
int RegisterAll() {
  const std::pair<const char*, BenchmarkFn> benchmarks[] = {
      {"BM_Parse", BM_Parse},
      {"BM_LoadTree", BM_LoadTree},
      {"BM_PugiUtf16Minimal", BM_PugiUtf16<pugi::parse_minimal>},
      {"BM_PugiUtf16Default", BM_PugiUtf16<pugi::parse_default>},
      {"BM_PugiUtf8Minimal", BM_PugiUtf8<pugi::parse_minimal>},
      {"BM_PugiUtf8Default", BM_PugiUtf8<pugi::parse_default>},
      {"BM_RapidXmlUtf16", BM_RapidXmlUtf16<0>},
      {"BM_RapidXmlUtf16Fastest", BM_RapidXmlUtf16<rapidxml::parse_fastest>},
      {"BM_RapidXmlUtf8", BM_RapidXmlUtf8<0>},
      {"BM_RapidXmlUtf8Fastest", BM_RapidXmlUtf8<rapidxml::parse_fastest>},
      {"BM_ExpatUtf16", BM_ExpatUtf16},
      {"BM_ExpatUtf8", BM_ExpatUtf8},
  };
  for (const auto& [name, function] : benchmarks) {
    for (Shape shape : {Shape::kUniform, Shape::kProfile}) {
      const std::string full = std::string(name) + "/" + bench_corpus::ShapeName(shape);
      benchmark::RegisterBenchmark(full.c_str(), function, shape)->Apply(Sizes);
    }
  }
  // The profile summary reads only profiles.
  benchmark::RegisterBenchmark("BM_ProfileSummaryRead/profile", BM_ProfileSummaryRead, Shape::kProfile)->Apply(Sizes);
  return 0;
}

const int registered = RegisterAll();

}  // namespace
