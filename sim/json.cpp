// The JSON line builder of the trace.
#include "sim/json.h"

#include <cstdio>

#include "platform/text.h"

namespace sim {
namespace {

void AppendEscapedUnit(std::string* out, uint32_t unit) {
  char escaped[8];
  std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(unit));
  out->append(escaped);
}

}  // namespace

void AppendJsonString(std::string* out, std::u16string_view text) {
  out->push_back('"');
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t unit = text[i];
    bool high = unit >= 0xD800 && unit <= 0xDBFF;
    bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      out->append(platform::ToUtf8(text.substr(i, 2)));
      ++i;
    } else if (high || low || unit < 0x20) {
      AppendEscapedUnit(out, unit);
    } else if (unit == u'"' || unit == u'\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(unit));
    } else {
      out->append(platform::ToUtf8(text.substr(i, 1)));
    }
  }
  out->push_back('"');
}

void JsonLine::Key(std::string_view key) {
  if (text_.size() > 1) text_.push_back(',');
  text_.push_back('"');
  text_.append(key);
  text_.append("\":");
}

JsonLine& JsonLine::Append(const JsonLine& other) {
  if (other.text_.size() <= 1) return *this;
  if (text_.size() > 1) text_.push_back(',');
  text_.append(other.text_, 1, std::string::npos);
  return *this;
}

JsonLine& JsonLine::Number(std::string_view key, int64_t value) {
  Key(key);
  text_.append(std::to_string(value));
  return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
  Key(key);
  text_.append(value ? "true" : "false");
  return *this;
}

JsonLine& JsonLine::Null(std::string_view key) {
  Key(key);
  text_.append("null");
  return *this;
}

JsonLine& JsonLine::Text(std::string_view key, std::u16string_view value) {
  Key(key);
  AppendJsonString(&text_, value);
  return *this;
}

JsonLine& JsonLine::Ascii(std::string_view key, std::string_view value) {
  Key(key);
  text_.push_back('"');
  text_.append(value);
  text_.push_back('"');
  return *this;
}

JsonLine& JsonLine::Guid(std::string_view key, const platform::Guid& value) {
  return Text(key, u"{" + platform::FormatGuid(value) + u"}");
}

JsonLine& JsonLine::Numbers(std::string_view key, const std::vector<uint8_t>& values) {
  Key(key);
  text_.push_back('[');
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text_.push_back(',');
    text_.append(std::to_string(values[i]));
  }
  text_.push_back(']');
  return *this;
}

JsonLine& JsonLine::Hex(std::string_view key, const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  Key(key);
  text_.push_back('"');
  for (size_t i = 0; i < size; ++i) {
    text_.push_back(kDigits[bytes[i] >> 4]);
    text_.push_back(kDigits[bytes[i] & 0xF]);
  }
  text_.push_back('"');
  return *this;
}

}  // namespace sim
