// The narrow formatter behind PrintToStderr: C conversions through snprintf, UTF-16 strings as
// UTF-8.
#include "log/narrow_format.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/text.h"

namespace {

// One conversion as written, with * widths and precisions resolved to numbers.
struct Conversion {
  std::string flags;
  int width = -1;
  int precision = -1;
  std::string length;  // hh, h, l, ll, z, j, t, L or empty
  char type = '\0';

  std::string Directive(char as_type, bool with_length) const {
    std::string directive = "%" + flags;
    if (width >= 0) directive += std::to_string(width);
    if (precision >= 0) directive += "." + std::to_string(precision);
    if (with_length) directive += length;
    directive += as_type;
    return directive;
  }
  // The same conversion for a (unsigned) long long argument.
  std::string LongLongDirective() const {
    std::string directive = Directive(type, false);
    directive.insert(directive.size() - 1, "ll");
    return directive;
  }
};

// Reads the conversion that starts behind a % at format[*at]; leaves *at on its type letter.
Conversion ReadConversion(const char* format, size_t* at, va_list* args) {
  Conversion c;
  while (format[*at] != '\0' && std::strchr("-+ #0", format[*at]) != nullptr)
    c.flags += format[(*at)++];
  if (format[*at] == '*') {
    c.width = va_arg(*args, int);
    if (c.width < 0) {
      c.flags += '-';
      c.width = -c.width;
    }
    ++*at;
  } else {
    while (format[*at] >= '0' && format[*at] <= '9')
      c.width = (c.width < 0 ? 0 : c.width * 10) + (format[(*at)++] - '0');
  }
  if (format[*at] == '.') {
    ++*at;
    c.precision = 0;
    if (format[*at] == '*') {
      c.precision = va_arg(*args, int);
      ++*at;
    } else {
      while (format[*at] >= '0' && format[*at] <= '9')
        c.precision = c.precision * 10 + (format[(*at)++] - '0');
    }
  }
  while (format[*at] != '\0' && std::strchr("hlzjtL", format[*at]) != nullptr)
    c.length += format[(*at)++];
  c.type = format[*at];
  return c;
}

template <typename T>
void AppendOne(std::string* out, const std::string& directive, T value) {
  char small[128];
  int needed = std::snprintf(small, sizeof(small), directive.c_str(), value);
  if (needed < 0) return;
  if (static_cast<size_t>(needed) < sizeof(small)) {
    out->append(small, needed);
    return;
  }
  std::string large(static_cast<size_t>(needed) + 1, '\0');
  std::snprintf(large.data(), large.size(), directive.c_str(), value);
  out->append(large.data(), needed);
}

void AppendWide(std::string* out, const Conversion& c, const char16_t* text) {
  std::u16string_view view = text == nullptr ? std::u16string_view(u"(null)") : text;
  if (c.precision >= 0 && view.size() > static_cast<size_t>(c.precision))
    view = view.substr(0, c.precision);
  std::string utf8 = platform::ToUtf8(view);
  Conversion plain = c;
  plain.precision = -1;
  AppendOne(out, plain.Directive('s', false), utf8.c_str());
}

void AppendNarrow(std::string* out, const Conversion& c, const char* text) {
  AppendOne(out, c.Directive('s', false), text == nullptr ? "(null)" : text);
}

void AppendSigned(std::string* out, const Conversion& c, va_list* args) {
  const std::string& l = c.length;
  long long value = 0;
  if (l == "ll")
    value = va_arg(*args, long long);
  else if (l == "l")
    value = va_arg(*args, long);
  else if (l == "z" || l == "t")
    value = va_arg(*args, ptrdiff_t);
  else if (l == "j")
    value = va_arg(*args, intmax_t);
  else
    value = va_arg(*args, int);
  if (l == "hh") value = static_cast<signed char>(value);
  if (l == "h") value = static_cast<short>(value);
  AppendOne(out, c.LongLongDirective(), value);
}

void AppendUnsigned(std::string* out, const Conversion& c, va_list* args) {
  const std::string& l = c.length;
  unsigned long long value = 0;
  if (l == "ll")
    value = va_arg(*args, unsigned long long);
  else if (l == "l")
    value = va_arg(*args, unsigned long);
  else if (l == "z" || l == "t")
    value = va_arg(*args, size_t);
  else if (l == "j")
    value = va_arg(*args, uintmax_t);
  else
    value = va_arg(*args, unsigned int);
  if (l == "hh") value = static_cast<unsigned char>(value);
  if (l == "h") value = static_cast<unsigned short>(value);
  AppendOne(out, c.LongLongDirective(), value);
}

// Handles one conversion; false when the type letter is not a conversion.
bool AppendConversion(std::string* out, const Conversion& c, va_list* args) {
  switch (c.type) {
    case 's':
      if (c.length == "l")
        AppendWide(out, c, va_arg(*args, const char16_t*));
      else
        AppendNarrow(out, c, va_arg(*args, const char*));
      return true;
    case 'S': AppendWide(out, c, va_arg(*args, const char16_t*)); return true;
    case 'c':
      if (c.length == "l") {
        char16_t unit[2] = {static_cast<char16_t>(va_arg(*args, int)), u'\0'};
        AppendWide(out, c, unit);
      } else {
        AppendOne(out, c.Directive('c', false), va_arg(*args, int));
      }
      return true;
    case 'd':
    case 'i': AppendSigned(out, c, args); return true;
    case 'u':
    case 'o':
    case 'x':
    case 'X': AppendUnsigned(out, c, args); return true;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      if (c.length == "L")
        AppendOne(out, c.Directive(c.type, true), va_arg(*args, long double));
      else
        AppendOne(out, c.Directive(c.type, false), va_arg(*args, double));
      return true;
    case 'p': AppendOne(out, c.Directive('p', false), va_arg(*args, void*)); return true;
    case 'n': va_arg(*args, void*); return true;
    default: return false;
  }
}

}  // namespace

void FormatNarrowV(std::string* out, const char* format, va_list args) {
  va_list own;
  va_copy(own, args);
  size_t at = 0;
  while (format[at] != '\0') {
    if (format[at] != '%') {
      out->push_back(format[at++]);
      continue;
    }
    size_t start = at++;
    if (format[at] == '%') {
      out->push_back('%');
      ++at;
      continue;
    }
    Conversion c = ReadConversion(format, &at, &own);
    if (!AppendConversion(out, c, &own)) {
      out->append(format + start, at - start);  // not a conversion: copy as written
      if (format[at] == '\0') break;
      out->push_back(format[at]);
    }
    ++at;
  }
  va_end(own);
}

void FormatNarrow(std::string* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatNarrowV(out, format, args);
  va_end(args);
}
