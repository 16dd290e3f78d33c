// Helpers shared by the profile node classes' Serialize.
#pragma once

#include <cstddef>
#include <cstdint>

#include "document/stream.h"

namespace VexNode::profile {

// ExchangeEnum with the table's entry count taken from the array itself.
template <size_t N>
bool ExchangeTable(IVexStream* stream, const char16_t* name, int32_t* value,
                   const EnumEntry (&table)[N], int32_t declared_default) {
  return stream->ExchangeEnum(name, value, table, N, declared_default);
}

}  // namespace VexNode::profile
