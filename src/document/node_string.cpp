// The owned UTF-16 text type of document node fields.
#include "document/node_string.h"

#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include "document/node_arena.h"

namespace VexNode {
namespace {

constexpr size_t kDefaultCapacity = 33;

size_t TextLength(const char16_t* text) { return std::char_traits<char16_t>::length(text); }

}  // namespace

CNodeString::CNodeString() { Allocate(kDefaultCapacity); }

CNodeString::CNodeString(const char16_t* text) : CNodeString(std::u16string_view(text != nullptr ? text : u"")) {}

CNodeString::CNodeString(std::u16string_view text) {
  Allocate(text.size() + 1);
  if (buffer_ != nullptr) CopyIn(text.data(), text.size());
}

CNodeString::CNodeString(const CNodeString& other) {
  Allocate(other.capacity_);
  if (buffer_ != nullptr && other.length_ < capacity_) CopyIn(other.Text(), other.length_);
}

CNodeString::CNodeString(CNodeString&& other) noexcept
    : buffer_(std::exchange(other.buffer_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      length_(std::exchange(other.length_, 0)),
      in_arena_(std::exchange(other.in_arena_, false)) {}

CNodeString& CNodeString::operator=(const CNodeString& other) {
  if (this != &other) Assign(other);
  return *this;
}

CNodeString& CNodeString::operator=(CNodeString&& other) noexcept {
  if (this != &other) {
    Release();
    buffer_ = std::exchange(other.buffer_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    length_ = std::exchange(other.length_, 0);
    in_arena_ = std::exchange(other.in_arena_, false);
  }
  return *this;
}

CNodeString::~CNodeString() { Release(); }

void CNodeString::Allocate(size_t capacity) {
  buffer_ = capacity != 0 ? node_memory::AllocateUnits(capacity, &in_arena_) : nullptr;
  if (buffer_ != nullptr) std::fill_n(buffer_, capacity, u'\0');
  capacity_ = buffer_ != nullptr ? capacity : 0;
  length_ = 0;
}

void CNodeString::Release() { node_memory::ReleaseUnits(buffer_, in_arena_); }

void CNodeString::CopyIn(const char16_t* text, size_t length) {
  std::copy_n(text, length, buffer_);
  length_ = length;
}

void CNodeString::Assign(const char16_t* text) {
  if (text == nullptr) {
    std::fill_n(buffer_, capacity_, u'\0');
    length_ = 0;
    return;
  }
  Assign(std::u16string_view(text, TextLength(text)));
}

void CNodeString::Assign(std::u16string_view text) {
  if (buffer_ != nullptr && text.data() >= buffer_ && text.data() < buffer_ + capacity_) {
    // A view of this very string: take a copy before the buffer is cleared or replaced.
    const std::u16string copy(text);
    Assign(std::u16string_view(copy));
    return;
  }
  if (text.size() >= capacity_) {
    char16_t* old = buffer_;
    const bool old_in_arena = in_arena_;
    Allocate(text.size() + 1);
    node_memory::ReleaseUnits(old, old_in_arena);
    if (buffer_ == nullptr) return;
  }
  // Every unit past the text stays zero, as in a fresh buffer: only what the old text used
  // beyond the new one needs clearing.
  std::copy_n(text.data(), text.size(), buffer_);
  if (length_ > text.size()) std::fill(buffer_ + text.size(), buffer_ + length_, u'\0');
  length_ = text.size();
}

void CNodeString::Assign(const CNodeString& other) {
  if (this == &other) return;
  Assign(other.View());
}

}  // namespace VexNode
