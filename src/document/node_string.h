// The owned UTF-16 text type of document node fields.
#pragma once

#include <cstddef>
#include <string_view>

namespace VexNode {

// A growable, always U+0000-terminated UTF-16 text. When an allocation fails the string becomes
// empty with no buffer (Text() then still answers an empty text). A string made or grown while a
// document is read keeps its buffer in the document's arena (node_arena.h), which outlives it.
class CNodeString {
 public:
  CNodeString();  // capacity 33, empty
  explicit CNodeString(const char16_t* text);
  explicit CNodeString(std::u16string_view text);
  CNodeString(const CNodeString& other);
  CNodeString(CNodeString&& other) noexcept;
  CNodeString& operator=(const CNodeString& other);
  CNodeString& operator=(CNodeString&& other) noexcept;
  CNodeString& operator=(const char16_t* text) { Assign(text); return *this; }
  ~CNodeString();

  // A null text empties the string and keeps its buffer.
  void Assign(const char16_t* text);
  void Assign(std::u16string_view text);
  void Assign(const CNodeString& other);

  const char16_t* Text() const { return buffer_ != nullptr ? buffer_ : u""; }
  std::u16string_view View() const { return std::u16string_view(Text(), length_); }
  size_t Length() const { return length_; }
  size_t Capacity() const { return capacity_; }
  bool Empty() const { return length_ == 0; }

  friend bool operator==(const CNodeString& a, std::u16string_view b) { return a.View() == b; }

 private:
  void Allocate(size_t capacity);  // zero-filled; on failure no buffer
  void Release();
  void CopyIn(const char16_t* text, size_t length);

  char16_t* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t length_ = 0;
  bool in_arena_ = false;  // the buffer belongs to a document's arena and is not released here
};

}  // namespace VexNode
