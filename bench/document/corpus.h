// The generated documents the document benchmarks read: one content written in the bracketed
// syntax (UTF-16) and as XML (UTF-16 and UTF-8) for the other parsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench_corpus {

enum class Shape {
  kUniform,  // indented LEDs with five short ASCII attributes, fifty to a group
  kProfile,  // a key-mapping profile: GUIDs, names in several scripts, escaped quotes, deep nesting
};

const char* ShapeName(Shape shape);

struct Corpus {
  std::u16string document;  // the bracketed syntax, byte order mark first
  std::u16string xml16;     // XML in UTF-16, byte order mark first
  std::string xml8;         // the same XML in UTF-8
  size_t elements = 0;
};

// A document of at least target_bytes as UTF-16. The same shape, size and seed give the same
// document on every run and every machine.
Corpus Generate(Shape shape, size_t target_bytes, uint32_t seed);

}  // namespace bench_corpus
