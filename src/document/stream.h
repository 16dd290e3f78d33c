// The attribute exchange interface of node classes and its loading implementation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "document/node_string.h"
#include "document/parser.h"
#include "platform/guid.h"

namespace VexNode {

// One name of an enumeration attribute and the number it stands for.
struct EnumEntry {
  int32_t value;
  const char16_t* name;
};

// One exchange vocabulary for both directions: a node's Serialize calls the same operations
// whether it is read or written. Each Exchange answers true when the attribute is present and
// leaves the field untouched when it is absent. Declared defaults and the timeout flag are for a
// storing stream; loading ignores them.
class IVexStream {
 public:
  virtual ~IVexStream() = default;
  virtual bool IsLoading() const = 0;
  virtual bool IsStoring() const = 0;
  // Dash-separated hexadecimal groups, stored last group first; at most count groups are stored
  // (the last count of them).
  virtual bool ExchangeHexList(const char16_t* name, uint32_t* values, size_t count) = 0;
  virtual bool ExchangeBool(const char16_t* name, bool* value, bool declared_default) = 0;
  // "first,second"; without a comma nothing is stored.
  virtual bool ExchangePair(const char16_t* name, int32_t* first, int32_t* second) = 0;
  virtual bool ExchangeGuid(const char16_t* name, platform::Guid* value) = 0;
  // Milliseconds in the document; stored as a negative relative time in 100 ns units.
  virtual bool ExchangeTimeout(const char16_t* name, int64_t* value, uint8_t flag) = 0;
  virtual bool ExchangeEnum(const char16_t* name, int32_t* value, const EnumEntry* table, size_t count,
                            int32_t declared_default) = 0;
  virtual bool ExchangeString(const char16_t* name, CNodeString* value) = 0;
  virtual bool ExchangeInt(const char16_t* name, int32_t* value, int32_t declared_default) = 0;
  virtual bool ExchangeReserved() = 0;
  virtual bool ExchangeUInt(const char16_t* name, uint32_t* value) = 0;
  // Raw data values (`<N ...>`).
  virtual bool ExchangeData(const char16_t* name, CNodeString* value) = 0;
};

// Loads fields from one element's attribute list. Lives for one Serialize call inside the
// element's start event. Names match ignoring ASCII case; the first matching entry counts, and
// entry 0 (the element's own name and value) is searched too.
class CAttributeStream_Expat : public IVexStream {
 public:
  explicit CAttributeStream_Expat(AttributeList attributes) : attributes_(attributes) {}
  ~CAttributeStream_Expat() override = default;

  bool IsLoading() const override { return true; }
  bool IsStoring() const override { return false; }
  bool ExchangeHexList(const char16_t* name, uint32_t* values, size_t count) override;
  bool ExchangeBool(const char16_t* name, bool* value, bool declared_default) override;
  bool ExchangePair(const char16_t* name, int32_t* first, int32_t* second) override;
  bool ExchangeGuid(const char16_t* name, platform::Guid* value) override;
  bool ExchangeTimeout(const char16_t* name, int64_t* value, uint8_t flag) override;
  bool ExchangeEnum(const char16_t* name, int32_t* value, const EnumEntry* table, size_t count,
                    int32_t declared_default) override;
  bool ExchangeString(const char16_t* name, CNodeString* value) override;
  bool ExchangeInt(const char16_t* name, int32_t* value, int32_t declared_default) override;
  bool ExchangeReserved() override { return true; }
  bool ExchangeUInt(const char16_t* name, uint32_t* value) override;
  bool ExchangeData(const char16_t* name, CNodeString* value) override;

 private:
  // The value text of the first entry named name (for a raw value, its data up to the first
  // U+0000), or false when there is none.
  bool Find(const char16_t* name, std::u16string_view* value) const;

  AttributeList attributes_;
};

}  // namespace VexNode
