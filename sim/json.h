// One JSON object on one line, built field by field, for the simulated driver's trace.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/guid.h"

namespace sim {

// Appends text as a JSON string (quotes included): UTF-8, control units and lone surrogates as
// \uXXXX.
void AppendJsonString(std::string* out, std::u16string_view text);

class JsonLine {
 public:
  JsonLine& Number(std::string_view key, int64_t value);
  JsonLine& Bool(std::string_view key, bool value);
  JsonLine& Null(std::string_view key);
  JsonLine& Text(std::string_view key, std::u16string_view value);
  JsonLine& Ascii(std::string_view key, std::string_view value);      // value needs no escaping
  JsonLine& Guid(std::string_view key, const platform::Guid& value);  // "{XXXXXXXX-...}"
  JsonLine& Numbers(std::string_view key, const std::vector<uint8_t>& values);
  JsonLine& Hex(std::string_view key, const uint8_t* bytes, size_t size);  // upper case
  // Appends the fields of other, in their order.
  JsonLine& Append(const JsonLine& other);
  std::string Finish() const { return text_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string text_ = "{";
};

}  // namespace sim
