// Event-driven reader for the bracketed UTF-16 document syntax of .dat and .pr0 files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace VexNode {

// The window every parse reads its input through, in UTF-16 units.
inline constexpr size_t kWindowUnits = 4096;
// Entries of the attribute table; entry 0 is the element itself, the last one ends the list.
inline constexpr size_t kAttributeEntries = 1024;

enum class TokenKind : int32_t { EOI = 0, LB = 1, NAME = 2, EQ = 3, RB = 4, LT = 5 };

// The copied-out data of one length-prefixed raw value `<N ...>`.
struct RawValue {
  const char16_t* name = nullptr;  // the attribute's name text, inside the window
  uint64_t count = 0;              // N + 1, as written in the document (wraps for N = 2^64 - 1)
  std::u16string data;             // the units received (N unless the input ended early)
};

// One entry of the attribute table. A raw-value entry has name and value both pointing at its
// RawValue block; use Name()/Value()/ValueView() rather than the fields to read any entry.
struct AttributePair {
  const char16_t* name = nullptr;
  const char16_t* value = nullptr;

  bool IsRaw() const { return name != nullptr && name == value; }
  const RawValue* Raw() const { return reinterpret_cast<const RawValue*>(name); }
  const char16_t* Name() const { return IsRaw() ? Raw()->name : name; }
  // U+0000-terminated value text (raw data is cut at its first U+0000 when read this way).
  const char16_t* Value() const { return IsRaw() ? Raw()->data.c_str() : value; }
  // The whole value; for a raw value every data unit, U+0000 included.
  std::u16string_view ValueView() const {
    return IsRaw() ? std::u16string_view(Raw()->data) : std::u16string_view(value);
  }
};

// Entry 0 up to (not including) the first entry whose name is null.
using AttributeList = const AttributePair*;

// Input callback: *count is the number of units wanted on entry and stored on return; true when
// at least one unit was stored. A short count is taken as the end of the input.
using ReadInputFn = bool (*)(void* user, char16_t* destination, size_t* count);
// An element head is complete. The texts are valid only during the call.
using ElementStartFn = void (*)(void* user, const char16_t* name, AttributeList attributes);
// An element was closed by `]`.
using ElementEndFn = void (*)(void* user);

// The state of one parse: window, position, attribute table and the first error met.
class ParseContext {
 public:
  ParseContext();
  ParseContext(const ParseContext&) = delete;
  ParseContext& operator=(const ParseContext&) = delete;

  ReadInputFn ReadInput = nullptr;
  ElementStartFn OnElementStart = nullptr;
  ElementEndFn OnElementEnd = nullptr;

  // Reads the whole input through window (capacity units, zero-filled by the caller). True when
  // no error message was set. The capacity is 4096 in every document read; smaller windows
  // exist for tests and fuzzing.
  bool Parse(char16_t* window, void* user_context, size_t capacity = kWindowUnits);
  // The first error met, or null.
  const char16_t* Message() const { return message_; }
  TokenKind Token() const { return token_; }
  // Off: every element head is read token by token, without the one-pass path for common heads.
  // The results are the same either way; tests and the fuzzer compare the two.
  void SetFastHeads(bool enabled) { fast_heads_ = enabled; }

 private:
  friend class ParserImpl;

  TokenKind token_ = TokenKind::EOI;
  char16_t end_marker_ = 0;  // always U+0000; the position rests here once the input is over
  char16_t* window_ = nullptr;
  char16_t* position_ = nullptr;
  char16_t* limit_ = nullptr;
  size_t capacity_ = kWindowUnits;
  AttributePair table_[kAttributeEntries];
  AttributePair* current_ = nullptr;
  char16_t* pending_terminator_ = nullptr;
  const char16_t* message_ = nullptr;
  void* user_ = nullptr;
  char16_t* quoted_start_ = nullptr;  // the quoted string being scanned, moved by a refill
  std::unique_ptr<RawValue> raw_blocks_[kAttributeEntries];
  bool fast_heads_ = true;
};

// The window of the parse running on this thread: during its element start events every unit
// from begin to end may be read (past a text's end too, as block copies do). Both are null when
// no parse runs.
struct ParseWindow {
  const char16_t* begin = nullptr;
  const char16_t* end = nullptr;
  // During the start event of a head read in one pass: its tag, and one past the U+0000 that ends
  // its last text. Every text of its list then lies in between (an empty one may instead be the
  // reader's end marker), and none is a raw value. Both null for any other head.
  const char16_t* head_begin = nullptr;
  const char16_t* head_end = nullptr;
  bool Holds(const char16_t* text) const {
    const auto at = reinterpret_cast<uintptr_t>(text);
    return at >= reinterpret_cast<uintptr_t>(begin) && at < reinterpret_cast<uintptr_t>(end);
  }
};
ParseWindow CurrentParseWindow();

// Runs context->Parse over a 4096-unit window.
bool Parse(ParseContext* context, char16_t* window, void* user_context);

// Owns the ParseContext of one parse.
class CPr0Parser {
 public:
  CPr0Parser() : context_(new ParseContext) {}
  explicit CPr0Parser(ParseContext* context) : context_(context) {}
  virtual ~CPr0Parser() = default;
  ParseContext* Context() const { return context_.get(); }

 private:
  std::unique_ptr<ParseContext> context_;
};

}  // namespace VexNode
