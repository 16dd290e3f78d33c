// The UTF-16 formatter of the diagnostic log.
#include "log/wide_format.h"

#include <cstdint>
#include <string>

#include "platform/text.h"

namespace {

// Appends to a fixed buffer, dropping what does not fit in front of the terminator.
class Output {
 public:
  Output(char16_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  void Put(char16_t unit) {
    if (length_ + 1 < capacity_) buffer_[length_++] = unit;
  }
  void Put(const char16_t* text, size_t count) {
    for (size_t i = 0; i < count; ++i) Put(text[i]);
  }
  size_t Finish() {
    buffer_[length_] = u'\0';
    return length_;
  }

 private:
  char16_t* buffer_;
  size_t capacity_;
  size_t length_ = 0;
};

struct Directive {
  bool left = false;   // '-' flag
  bool zeros = false;  // '0' flag
  size_t width = 0;
};

// Writes text padded to the width of directive; zero padding goes after a leading minus sign.
void PutPadded(Output& out, const Directive& directive, const char16_t* text, size_t count) {
  size_t padding = directive.width > count ? directive.width - count : 0;
  if (directive.left) {
    out.Put(text, count);
    for (size_t i = 0; i < padding; ++i) out.Put(u' ');
    return;
  }
  if (directive.zeros && count > 0 && text[0] == u'-') {
    out.Put(u'-');
    ++text;
    --count;
  }
  for (size_t i = 0; i < padding; ++i) out.Put(directive.zeros ? u'0' : u' ');
  out.Put(text, count);
}

void PutNumber(Output& out, const Directive& directive, uint32_t magnitude, bool negative, uint32_t base,
               bool upper) {
  const char16_t* digits = upper ? u"0123456789ABCDEF" : u"0123456789abcdef";
  char16_t text[16];
  size_t at = sizeof(text) / sizeof(text[0]);
  do {
    text[--at] = digits[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  if (negative) text[--at] = u'-';
  PutPadded(out, directive, text + at, sizeof(text) / sizeof(text[0]) - at);
}

void PutWideText(Output& out, const Directive& directive, const char16_t* text) {
  if (text == nullptr) text = u"(null)";
  size_t count = 0;
  while (text[count] != u'\0') ++count;
  PutPadded(out, directive, text, count);
}

void PutNarrowText(Output& out, const Directive& directive, const char* text) {
  std::u16string wide = platform::FromUtf8(text == nullptr ? "(null)" : text);
  PutPadded(out, directive, wide.data(), wide.size());
}

// Reads flags and width at format[*at]; returns the conversion unit that follows.
char16_t ReadDirective(const char16_t* format, size_t* at, Directive* directive) {
  for (;; ++*at) {
    if (format[*at] == u'-') {
      directive->left = true;
    } else if (format[*at] == u'0') {
      directive->zeros = true;
    } else {
      break;
    }
  }
  while (format[*at] >= u'0' && format[*at] <= u'9' && directive->width < 1024) {
    directive->width = directive->width * 10 + (format[*at] - u'0');
    ++*at;
  }
  if (format[*at] == u'w' && format[*at + 1] == u's') ++*at;
  return format[*at];
}

}  // namespace

size_t FormatWideV(char16_t* buffer, size_t capacity, const char16_t* format, va_list args) {
  Output out(buffer, capacity);
  size_t at = 0;
  while (format[at] != u'\0') {
    if (format[at] != u'%') {
      out.Put(format[at++]);
      continue;
    }
    size_t start = at++;
    Directive directive;
    char16_t conversion = ReadDirective(format, &at, &directive);
    switch (conversion) {
      case u'%': out.Put(u'%'); break;
      case u's': PutWideText(out, directive, va_arg(args, const char16_t*)); break;
      case u'S': PutNarrowText(out, directive, va_arg(args, const char*)); break;
      case u'd': {
        int value = va_arg(args, int);
        uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : value;
        PutNumber(out, directive, magnitude, value < 0, 10, false);
        break;
      }
      case u'u': PutNumber(out, directive, va_arg(args, unsigned int), false, 10, false); break;
      case u'x': PutNumber(out, directive, va_arg(args, unsigned int), false, 16, false); break;
      case u'X': PutNumber(out, directive, va_arg(args, unsigned int), false, 16, true); break;
      default:
        // Not a conversion of ours: copy it as written (a lone % at the end included).
        out.Put(format + start, at - start);
        if (conversion == u'\0') return out.Finish();
        out.Put(conversion);
        break;
    }
    ++at;
  }
  return out.Finish();
}

size_t FormatWide(char16_t* buffer, size_t capacity, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  size_t length = FormatWideV(buffer, capacity, format, args);
  va_end(args);
  return length;
}
