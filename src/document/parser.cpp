// Event-driven reader for the bracketed UTF-16 document syntax: window, tokens, elements.
#include "document/parser.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "document/scan.h"

namespace VexNode {
namespace {

const char16_t kErrorReading[] = u"Error reading from input";
const char16_t kErrorBufferTooSmall[] = u"Initial input buffer too small";
const char16_t kErrorByteOrderMark[] = u"utf16LE, byte order mark missing from start of input (0xFF,0xFE)";
const char16_t kErrorXml[] = u"This smells like xml.";
const char16_t kErrorExpectedName[] = u"Invalid syntax - Match failed - expected NAME";
const char16_t kErrorValueMissing[] = u"Attribute value missing";
const char16_t kErrorHeadEnd[] = u"Syntax error - attributes should end with '[' or ']'";
const char16_t kErrorMissingQuote[] = u"Invalid syntax - Missing ' from end of string";
const char16_t kErrorTooManyAttributes[] = u"Element has too many attributes";
const char16_t kErrorElementTooBig[] = u"Element bigger than buffer";
const char16_t kErrorUnexpectedRb[] = u"Didn't expect to see a ']' at this position.";
const char16_t kErrorMoreRbs[] = u"Bracket missmatch: more RBs than LBs at this point.";
const char16_t kErrorMoreLbs[] = u"Bracket missmatch: more LBs than RBs at end of parse.";
const char16_t kErrorExpectedEoi[] = u"Invalid syntax - Match failed - expected EOI";

constexpr size_t kMinimumCapacity = 5;
constexpr char16_t kByteOrderMark = 0xFEFF;

}  // namespace

// The token steps run for every few units: keep them inside the element loop.
#define VEX_HOT [[gnu::always_inline]] inline
#define VEX_HOT_LAMBDA __attribute__((always_inline))

// A walk over the token boundaries that the block scan (scan.h) marked in the window, one 64-unit
// block at a time. Indexes count units from the window's start; no boundary or quote is marked at
// the stop or after it.
struct BlockWalk {
  static constexpr size_t kUnits = scan::kBlockUnits;
  static constexpr size_t kNone = SIZE_MAX;

  char16_t* window;
  const uint64_t* boundaries;
  const uint64_t* quotes;
  size_t stop;
  char16_t* none;    // answered past the last boundary: a U+0000 that every step of a head refuses
  size_t block = 0;  // the block the walk is in
  uint64_t pending = 0;  // that block's boundaries not taken yet

  // Drops the boundaries before index at.
  VEX_HOT void From(size_t at) {
    block = at / kUnits;
    pending = boundaries[block] & (~uint64_t{0} << (at % kUnits));
  }
  VEX_HOT char16_t* Next() {
    while (pending == 0) {
      if (++block * kUnits >= stop) return none;
      pending = boundaries[block];
    }
    const size_t at = block * kUnits + static_cast<size_t>(std::countr_zero(pending));
    pending &= pending - 1;
    return window + at;
  }
  // The first quote or U+0000 at index at or after it, or kNone.
  size_t NextQuote(size_t at) const {
    size_t quote_block = at / kUnits;
    uint64_t found = quotes[quote_block] & (~uint64_t{0} << (at % kUnits));
    while (found == 0) {
      if (++quote_block * kUnits >= stop) return kNone;
      found = quotes[quote_block];
    }
    return quote_block * kUnits + static_cast<size_t>(std::countr_zero(found));
  }
};

// The parsing steps over one ParseContext. Hot loops scan the window directly and fall back to
// the one-unit advance only where the window ends.
class ParserImpl {
 public:
  explicit ParserImpl(ParseContext& context) : c_(context) {}

  bool Run(char16_t* window, void* user_context, size_t capacity);
  bool RunInWindow(char16_t* window, void* user_context, size_t capacity);

 private:
  void SetError(const char16_t* message);
  size_t Read(char16_t* destination, size_t wanted);
  bool InWindow(const char16_t* p) const { return p >= c_.window_ && p < c_.window_ + c_.capacity_; }

  VEX_HOT void FlushPending() {
    if (c_.pending_terminator_ != nullptr) {
      *c_.pending_terminator_ = u'\0';
      c_.pending_terminator_ = nullptr;
    }
  }
  VEX_HOT void Advance() {
    if (*c_.position_ == u'\0') return;
    StepOver();
  }
  // Moves past the current unit whatever it holds.
  VEX_HOT void StepOver() {
    FlushPending();
    if (++c_.position_ == c_.limit_) AtLimit();
  }
  void AtLimit();
  bool Refill();
  const char16_t* HeldName() const;
  void MoveBack(const char16_t*& pointer, size_t distance) const;

  // Moves over the units that Find passes, refilling the window as needed.
  template <const char16_t* (*Find)(const char16_t*, const char16_t*)>
  VEX_HOT void ScanOver();
  VEX_HOT void SkipWhitespace() {
    // After a blank the next boundary of the block scan, when it describes the window, is the
    // first unit that is not one.
    char16_t* const p = c_.position_;
    if (blocks_valid_ && (scan::ClassOf(*p) & scan::kWhite) != 0) {
      char16_t* const next = BoundaryFrom(p + 1);
      if (next != nullptr) {
        FlushPending();
        c_.position_ = next;
        return;
      }
    }
    ScanOver<scan::FindNonWhite>();
  }
  // The first boundary of the block scan at p or after it, or null when there is none before the
  // window's last unit.
  VEX_HOT char16_t* BoundaryFrom(char16_t* p) const {
    const size_t stop = static_cast<size_t>(c_.limit_ - c_.window_) - 1;
    const size_t at = static_cast<size_t>(p - c_.window_);
    if (at >= stop) return nullptr;
    BlockWalk walk{c_.window_, block_boundaries_, block_quotes_, stop, nullptr};
    walk.From(at);
    return walk.Next();
  }

  VEX_HOT void NextToken();
  VEX_HOT void Word();
  void QuotedString();
  // Compacts a quoted string that held an escaped quote: the text from start to its closing quote.
  static void CompactEscapes(char16_t* start, const char16_t* close);
  VEX_HOT void Record(char16_t* text);
  VEX_HOT void MoveToNextEntry();
  void RawValueToken();
  void CopyRawData(RawValue* block, uint64_t units);

  void Document();
  // Reads the element head at the position, and the elements after it as long as the block walk
  // can; false when the parse has stopped.
  bool Elements(int64_t& depth);
  // Hot: placed on a cache line boundary, so that where the linker puts it does not change its speed.
  [[gnu::aligned(64)]] bool FastElements(int64_t& depth);
  VEX_HOT bool ReadHead(BlockWalk& walk, char16_t*& token);
  // The element head at the position, token by token.
  bool ElementHead();
  // The block scan of the window's first stop units; no boundary or quote is marked from stop on,
  // in the block that holds the stop too when the scan ends with the block before it (a walk may
  // start at the stop).
  void ScanWindow(size_t stop) {
    scan::ScanBlocks(c_.window_, stop, block_boundaries_, block_quotes_);
    const uint64_t kept = (uint64_t{1} << (stop % scan::kBlockUnits)) - 1;
    block_boundaries_[stop / scan::kBlockUnits] &= kept;
    block_quotes_[stop / scan::kBlockUnits] &= kept;
    blocks_valid_ = true;
  }
  // The window's contents moved: the masks of the block scan no longer describe them.
  void ForgetBlock() { blocks_valid_ = false; }
  void ReportElement();
  // Releases the raw-value blocks of entries 0 to last.
  void ReleaseRawBlocks(size_t last);

  ParseContext& c_;
  size_t raw_blocks_ = 0;  // raw-value blocks allocated and not yet released
  const char16_t* head_end_ = nullptr;  // after ReadHead: one past the terminator of the last text
  // The block scan of the window up to its limit, made when a head first needs it after the
  // window's contents changed.
  bool blocks_valid_ = false;
  uint64_t block_boundaries_[kWindowUnits / scan::kBlockUnits];
  uint64_t block_quotes_[kWindowUnits / scan::kBlockUnits];
};

namespace {
thread_local ParseWindow t_parse_window;
}  // namespace

void ParserImpl::SetError(const char16_t* message) {
  if (c_.message_ == nullptr) c_.message_ = message;
  c_.token_ = TokenKind::EOI;
  c_.position_ = &c_.end_marker_;
}

size_t ParserImpl::Read(char16_t* destination, size_t wanted) {
  if (c_.ReadInput == nullptr || wanted == 0) return 0;
  size_t count = wanted;
  if (!c_.ReadInput(c_.user_, destination, &count)) return 0;
  return std::min(count, wanted);
}

void ParserImpl::AtLimit() {
  // A short last read means the input is over; a full window is refilled.
  if (c_.limit_ < c_.window_ + c_.capacity_ || !Refill()) c_.position_ = &c_.end_marker_;
}

const char16_t* ParserImpl::HeldName() const {
  const AttributePair& element = c_.table_[0];
  const char16_t* held = element.IsRaw() ? element.Raw()->name : element.name;
  return held != nullptr && InWindow(held) ? held : nullptr;
}

void ParserImpl::MoveBack(const char16_t*& pointer, size_t distance) const {
  // The end-of-input marker and anything outside the window stay where they are.
  if (pointer != nullptr && InWindow(pointer)) pointer -= distance;
}

bool ParserImpl::Refill() {
  if (c_.ReadInput == nullptr) return false;
  ForgetBlock();
  char16_t* window = c_.window_;
  const char16_t* held = HeldName();
  if (held == nullptr) {
    c_.position_ = window;
    const size_t read = Read(window, c_.capacity_);
    c_.limit_ = window + read;
    return read != 0;
  }
  if (held == window) {
    SetError(kErrorElementTooBig);
    return false;
  }
  // Keep the element from its name on: move it to the window start with every pointer into it.
  const size_t distance = static_cast<size_t>(held - window);
  std::memmove(window, held, static_cast<size_t>(c_.limit_ - held) * sizeof(char16_t));
  for (AttributePair* entry = c_.table_; entry < c_.table_ + kAttributeEntries && entry->name != nullptr; ++entry) {
    if (entry->IsRaw()) {
      MoveBack(c_.raw_blocks_[entry - c_.table_]->name, distance);
    } else {
      MoveBack(entry->name, distance);
      MoveBack(entry->value, distance);
    }
  }
  c_.position_ -= distance;
  if (c_.quoted_start_ != nullptr) c_.quoted_start_ -= distance;
  const size_t read = Read(c_.position_, distance);
  c_.limit_ = c_.position_ + read;
  return read != 0;
}

template <const char16_t* (*Find)(const char16_t*, const char16_t*)>
void ParserImpl::ScanOver() {
  for (;;) {
    char16_t* const p = c_.position_;
    if (p == &c_.end_marker_) return;
    char16_t* const limit = c_.limit_;
    char16_t* const end = const_cast<char16_t*>(Find(p, limit));
    if (end == p) return;
    // The unit at p was classified above; only now may a pending terminator overwrite it.
    FlushPending();
    c_.position_ = end;
    if (end < limit) return;
    AtLimit();
  }
}

void ParserImpl::NextToken() {
  if (c_.message_ != nullptr) return;
  SkipWhitespace();
  switch (*c_.position_) {
    case u'\0':
      c_.token_ = TokenKind::EOI;
      return;
    case u'\'':
      c_.token_ = TokenKind::NAME;
      QuotedString();
      break;
    case u'<':
      c_.token_ = TokenKind::LT;
      StepOver();
      break;
    case u'=':
      c_.token_ = TokenKind::EQ;
      StepOver();
      break;
    case u'[':
      c_.token_ = TokenKind::LB;
      StepOver();
      break;
    case u']':
      c_.token_ = TokenKind::RB;
      StepOver();
      break;
    default:
      c_.token_ = TokenKind::NAME;
      Word();
      break;
  }
  if (c_.message_ != nullptr) c_.token_ = TokenKind::EOI;
}

void ParserImpl::Word() {
  Record(c_.position_);
  ScanOver<scan::FindWordEnd>();
  // Terminated in place when the reader moves past the unit that ended the word.
  c_.pending_terminator_ = c_.position_;
}

void ParserImpl::QuotedString() {
  StepOver();
  Record(c_.position_);
  c_.quoted_start_ = c_.position_;
  bool escaped = false;
  for (;;) {
    ScanOver<scan::FindQuotedEnd>();
    char16_t* p = c_.position_;
    if (*p == u'\0') {
      c_.quoted_start_ = nullptr;
      SetError(kErrorMissingQuote);
      return;
    }
    // A quote after one backslash is part of the text (never in the first three window units).
    if (p - c_.window_ >= 3 && p[-1] == u'\\' && p[-2] != u'\\') {
      escaped = true;
      StepOver();
      continue;
    }
    break;
  }
  char16_t* const start = c_.quoted_start_;
  char16_t* const close = c_.position_;
  c_.quoted_start_ = nullptr;
  if (escaped) CompactEscapes(start, close);
  *close = u'\0';
  StepOver();
}

void ParserImpl::CompactEscapes(char16_t* start, const char16_t* close) {
  // Drop every backslash that stands before a quote, the one before the closing quote included.
  char16_t* out = start;
  for (const char16_t* in = start; in < close; ++in) {
    if (!(*in == u'\\' && in[1] == u'\'')) *out++ = *in;
  }
  *out = u'\0';
}

void ParserImpl::Record(char16_t* text) {
  AttributePair* entry = c_.current_;
  if (entry->name == nullptr) {
    entry->name = text;  // the value was cleared (or set to the empty text) when the entry began
    return;
  }
  entry->value = text;
  MoveToNextEntry();
}

void ParserImpl::MoveToNextEntry() {
  if (c_.current_ + 1 >= c_.table_ + kAttributeEntries) {
    SetError(kErrorTooManyAttributes);
    return;
  }
  ++c_.current_;
  c_.current_->name = nullptr;
  c_.current_->value = nullptr;
}

void ParserImpl::RawValueToken() {
  SkipWhitespace();
  uint64_t count = 0;
  for (char16_t unit = *c_.position_; unit >= u'0' && unit <= u'9'; unit = *c_.position_) {
    count = count * 10 + static_cast<uint64_t>(unit - u'0');
    Advance();
  }
  SkipWhitespace();
  AttributePair* owner = c_.current_;
  MoveToNextEntry();
  if (c_.message_ != nullptr) return;
  const size_t index = static_cast<size_t>(owner - c_.table_);
  c_.raw_blocks_[index].reset(new RawValue);
  ++raw_blocks_;
  RawValue* block = c_.raw_blocks_[index].get();
  block->name = owner->name;
  block->count = count + 1;
  owner->name = owner->value = reinterpret_cast<const char16_t*>(block);
  CopyRawData(block, count);
  if (c_.message_ != nullptr) return;
  SkipWhitespace();
  if (*c_.position_ == u'>') {
    Advance();
    SkipWhitespace();
  }
}

void ParserImpl::CopyRawData(RawValue* block, uint64_t units) {
  // Once the input is over there is nothing to take: the value stays short and the element
  // head then fails for lack of its closing bracket.
  if (c_.position_ == &c_.end_marker_) return;
  ForgetBlock();
  char16_t* const position = c_.position_;
  char16_t* const old_limit = c_.limit_;
  const size_t available = static_cast<size_t>(old_limit - position);
  char16_t* remaining_end;
  if (units < available) {
    block->data.assign(position, static_cast<size_t>(units));
    std::memmove(position, position + units, (available - units) * sizeof(char16_t));
    remaining_end = position + (available - units);
  } else {
    block->data.assign(position, available);
    uint64_t missing = units - available;
    // Grow the block only as units arrive, so a huge count costs no more than the input holds.
    while (missing != 0) {
      const size_t chunk = static_cast<size_t>(std::min<uint64_t>(missing, std::max<size_t>(block->data.size(), kWindowUnits)));
      const size_t before = block->data.size();
      block->data.resize(before + chunk);
      const size_t read = Read(block->data.data() + before, chunk);
      block->data.resize(before + read);
      if (read < chunk) break;
      missing -= read;
    }
    remaining_end = position;
  }
  const size_t read = Read(remaining_end, static_cast<size_t>(old_limit - remaining_end));
  c_.limit_ = remaining_end + read;
  if (c_.limit_ == c_.position_) c_.position_ = &c_.end_marker_;
}

void ParserImpl::ReportElement() {
  if (c_.OnElementStart != nullptr) c_.OnElementStart(c_.user_, c_.table_[0].Name(), c_.table_);
  // Blocks belong to entries before the current one.
  ReleaseRawBlocks(static_cast<size_t>(c_.current_ - c_.table_));
}

void ParserImpl::ReleaseRawBlocks(size_t last) {
  if (raw_blocks_ == 0) return;
  raw_blocks_ = 0;
  // The entries keep the name texts in the window (entry 0's stays the held name for refills).
  for (size_t i = 0; i <= last && i < kAttributeEntries; ++i) {
    if (c_.raw_blocks_[i] == nullptr) continue;
    AttributePair& entry = c_.table_[i];
    if (entry.IsRaw() && entry.Raw() == c_.raw_blocks_[i].get()) {
      entry.name = c_.raw_blocks_[i]->name;
      entry.value = &c_.end_marker_;
    }
    c_.raw_blocks_[i].reset();
  }
}

// The common element head read in one pass, from token boundary to token boundary: words and
// quoted strings, own value and attributes with '=', ending at '[' or ']', all before the window's
// last unit. token is the head's first token on entry and its closing bracket on success. Anything
// else (raw values, errors, the window's end, over 62 attributes, over 8 strings with escaped
// quotes, a word straight after a closing quote) answers false with the window untouched, and the
// token-by-token path reads the head instead; both leave the same entries and terminators behind.
bool ParserImpl::ReadHead(BlockWalk& walk, char16_t*& token) {
  constexpr size_t kMaxEntries = 64;
  AttributePair* const table = c_.table_;
  char16_t* const window = walk.window;
  char16_t* ends[2 * kMaxEntries];  // units to terminate once the head is known to be good
  size_t end_count = 0;
  // Quoted strings with escaped quotes, compacted once the head is known to be good.
  constexpr size_t kMaxCompacted = 8;
  struct Quoted {
    char16_t* start;
    char16_t* close;
  } compacted[kMaxCompacted];
  size_t compact_count = 0;

  // The word or quoted string at token; token then moves to the token after it.
  auto text = [&](const char16_t*& out) VEX_HOT_LAMBDA {
    if (*token == u'\'') {
      char16_t* const opening = token;
      size_t close = walk.NextQuote(static_cast<size_t>(opening + 1 - window));
      // A quote is escaped by the token path's own rule: one backslash before it, not two, and at
      // index 3 or later of the window. The window does not move during this pass, so the indexes
      // are the ones the token path would see, and nothing before the opening quote is ever read.
      bool escaped = false;
      while (close != BlockWalk::kNone && window[close] == u'\'' && close >= 3 && window[close - 1] == u'\\' &&
             window[close - 2] != u'\\') {
        escaped = true;
        close = walk.NextQuote(close + 1);
      }
      // A word unit straight after the closing quote begins a token without a boundary of its own.
      if (close == BlockWalk::kNone || window[close] != u'\'' || (scan::ClassOf(window[close + 1]) & scan::kWordUnit) != 0) {
        return false;
      }
      if (escaped) {
        if (compact_count == kMaxCompacted) return false;
        compacted[compact_count++] = {opening + 1, window + close};
      }
      out = opening + 1;
      ends[end_count++] = window + close;
      walk.From(close + 1);
      token = walk.Next();
      // A blank after the closing quote ends the word the quote began: pass it.
      if ((scan::ClassOf(*token) & scan::kWhite) != 0) token = walk.Next();
      return true;
    }
    if ((scan::ClassOf(*token) & scan::kWordUnit) == 0) return false;
    out = token;
    // A word that meets the end marker here leaves it as the next token, which fails the head.
    char16_t* const end = walk.Next();
    ends[end_count++] = end;
    token = (scan::ClassOf(*end) & scan::kWhite) != 0 ? walk.Next() : end;
    return true;
  };
  // The text after the '=' at token.
  auto value = [&](const char16_t*& out) VEX_HOT_LAMBDA {
    token = walk.Next();
    return text(out);
  };

  table[0].value = walk.none;  // no own value unless the head has one
  if (!text(table[0].name)) return false;
  if (*token == u'=' && !value(table[0].value)) return false;
  size_t entry = 1;
  while (*token != u'[' && *token != u']') {
    if (entry == kMaxEntries - 1) return false;
    AttributePair& pair = table[entry++];
    if (!text(pair.name) || *token != u'=' || !value(pair.value)) return false;
  }
  table[entry] = {};
  c_.current_ = table + entry;
  // The last word may end at the bracket itself: classify it before terminating.
  c_.token_ = *token == u'[' ? TokenKind::LB : TokenKind::RB;
  // Before the terminators: compaction reads the closing quote.
  for (size_t i = 0; i < compact_count; ++i) CompactEscapes(compacted[i].start, compacted[i].close);
#pragma GCC unroll 4
  for (size_t i = 0; i < end_count; ++i) *ends[i] = u'\0';
  head_end_ = ends[end_count - 1] + 1;
  return true;
}

bool ParserImpl::Elements(int64_t& depth) {
  if (c_.fast_heads_ && c_.position_ != &c_.end_marker_ && c_.capacity_ <= kWindowUnits) return FastElements(depth);
  return ElementHead();
}

// Elements read through the block walk: each head in one pass, and the brackets between heads,
// with the events of both, until something needs the token path (a head the one pass refuses, the
// window's last unit, the last bracket of the document, anything but a bracket after a ']'). The
// position and token are then left as the token path would leave them at that point.
bool ParserImpl::FastElements(int64_t& depth) {
  char16_t* const window = c_.window_;
  const size_t stop = static_cast<size_t>(c_.limit_ - window) - 1;
  const size_t start = static_cast<size_t>(c_.position_ - window);
  if (start >= stop) return ElementHead();
  if (!blocks_valid_) ScanWindow(stop);
  BlockWalk walk{window, block_boundaries_, block_quotes_, stop, &c_.end_marker_};
  walk.From(start);
  // The first token of the head at the position.
  char16_t* token = walk.Next();
  for (;;) {
    if (!ReadHead(walk, token)) return ElementHead();
    // A node that copies the head can then take it whole, without looking for where it ends.
    t_parse_window.head_begin = c_.table_[0].name;
    t_parse_window.head_end = head_end_;
    ReportElement();
    t_parse_window.head_begin = t_parse_window.head_end = nullptr;
    char16_t* bracket = token;
    if (c_.token_ == TokenKind::RB) {
      // Each ']' closes an element; the bracket after it, past the blanks, is the next token.
      char16_t* following = walk.Next();
      while (depth > 1 && *following == u']') {
        --depth;
        if (c_.OnElementEnd != nullptr) c_.OnElementEnd(c_.user_);
        bracket = following;
        following = walk.Next();
      }
      if (depth == 1 || *following != u'[') {
        // The token path takes the last ']' read.
        c_.position_ = following != walk.none ? following : bracket + 1;
        return true;
      }
      --depth;
      if (c_.OnElementEnd != nullptr) c_.OnElementEnd(c_.user_);
      bracket = following;
    }
    // A '[' opens an element: its head begins after the bracket.
    ++depth;
    c_.position_ = bracket + 1;
    c_.token_ = TokenKind::LB;
    token = walk.Next();
  }
}

// One element head, from the token after '[' to the '[' or ']' that ends it. False when the
// parse has stopped.
bool ParserImpl::ElementHead() {
  AttributePair* table = c_.table_;
  c_.current_ = table;
  table[0] = {nullptr, &c_.end_marker_};
  table[1] = {};
  NextToken();
  if (c_.token_ != TokenKind::NAME) SetError(kErrorExpectedName);
  c_.current_ = table + 1;
  table[1] = {};
  NextToken();
  if (c_.token_ == TokenKind::EQ) {
    c_.current_ = table;
    NextToken();
    if (c_.token_ != TokenKind::NAME) SetError(kErrorExpectedName);
    NextToken();
  } else if (c_.token_ == TokenKind::LT) {
    c_.current_ = table;
    RawValueToken();
    NextToken();
  }
  while (c_.token_ == TokenKind::NAME && c_.message_ == nullptr) {
    NextToken();
    if (c_.token_ == TokenKind::EQ) {
      NextToken();
      if (c_.token_ != TokenKind::NAME) SetError(kErrorExpectedName);
    } else if (c_.token_ == TokenKind::LT) {
      RawValueToken();
    } else {
      SetError(kErrorValueMissing);
      return false;
    }
    NextToken();
  }
  if (c_.token_ != TokenKind::LB && c_.token_ != TokenKind::RB) {
    SetError(kErrorHeadEnd);
    return false;
  }
  if (c_.message_ == nullptr) ReportElement();
  return true;
}

void ParserImpl::Document() {
  int64_t depth = 0;
  while (c_.token_ == TokenKind::LB) {
    ++depth;
    if (!Elements(depth)) break;
    while (c_.token_ == TokenKind::RB) {
      if (depth == 0) {
        SetError(kErrorUnexpectedRb);
        break;
      }
      --depth;
      NextToken();
      if (c_.message_ == nullptr && c_.OnElementEnd != nullptr) c_.OnElementEnd(c_.user_);
      if (depth == 0 && c_.token_ != TokenKind::EOI) SetError(kErrorMoreRbs);
    }
  }
  if (depth != 0) SetError(kErrorMoreLbs);
  if (c_.message_ == nullptr && c_.token_ != TokenKind::EOI) SetError(kErrorExpectedEoi);
}

ParseWindow CurrentParseWindow() { return t_parse_window; }

bool ParserImpl::Run(char16_t* window, void* user_context, size_t capacity) {
  // A document read inside an event (none is today) shows its own window, then ours again.
  const ParseWindow outer = t_parse_window;
  t_parse_window = {window, window + capacity};
  const bool ok = RunInWindow(window, user_context, capacity);
  t_parse_window = outer;
  return ok;
}

bool ParserImpl::RunInWindow(char16_t* window, void* user_context, size_t capacity) {
  c_.window_ = window;
  c_.capacity_ = capacity;
  ForgetBlock();
  c_.user_ = user_context;
  c_.message_ = nullptr;
  c_.pending_terminator_ = nullptr;
  c_.quoted_start_ = nullptr;
  c_.token_ = TokenKind::EOI;
  std::fill(std::begin(c_.table_), std::end(c_.table_), AttributePair{});
  c_.current_ = c_.table_;
  c_.position_ = window;
  const size_t read = Read(window, capacity);
  c_.limit_ = window + read;
  if (read == 0) SetError(kErrorReading);
  if (capacity < kMinimumCapacity) SetError(kErrorBufferTooSmall);
  if (*c_.position_ != kByteOrderMark) {
    SetError(kErrorByteOrderMark);
  } else {
    Advance();
  }
  if (*c_.position_ == u'<') SetError(kErrorXml);
  NextToken();
  Document();
  ReleaseRawBlocks(kAttributeEntries - 1);
  return c_.message_ == nullptr;
}

ParseContext::ParseContext() = default;

bool ParseContext::Parse(char16_t* window, void* user_context, size_t capacity) {
  return ParserImpl(*this).Run(window, user_context, capacity);
}

bool Parse(ParseContext* context, char16_t* window, void* user_context) {
  return context->Parse(window, user_context);
}

}  // namespace VexNode
