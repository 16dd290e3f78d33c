// Event-driven reader for the bracketed UTF-16 document syntax (being written).
#include "document/parser.h"

namespace VexNode {

ParseContext::ParseContext() = default;

bool ParseContext::Parse(char16_t* window, void* user_context, size_t capacity) {
  message_ = u"Error reading from input";
  return false;
}

bool Parse(ParseContext* context, char16_t* window, void* user_context) {
  return context->Parse(window, user_context);
}

}  // namespace VexNode
