// Test helpers: run the document reader over text held in memory and record its events.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "document/parser.h"

namespace document_test {

struct ParseRun {
  bool ok = false;
  std::u16string message;           // empty when the parse succeeded
  std::vector<std::u16string> events;  // "<name|value|attr=value|...>" per head, "]" per end
};

// Parses the units as they stand (no byte order mark is added) through a window of capacity units,
// with or without the one-pass path for common element heads.
ParseRun ParseUnits(std::u16string_view units, size_t capacity = VexNode::kWindowUnits, bool fast_heads = true);
// Parses U+FEFF followed by text, without the one-pass head path and with it through each block
// classifier, and fails the current test when any two differ.
ParseRun ParseText(std::u16string_view text, size_t capacity = VexNode::kWindowUnits);

// One head event as ParseRun records it.
std::u16string Head(std::u16string_view name, std::u16string_view value,
                    std::vector<std::pair<std::u16string, std::u16string>> attributes = {});

// Little-endian bytes of U+FEFF and the text, as a document file holds them.
std::string DocumentBytes(std::u16string_view text);

}  // namespace document_test
