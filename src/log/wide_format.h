// A small printf-style formatter over UTF-16 for the conversions the log uses.
#pragma once

#include <cstdarg>
#include <cstddef>

// Formats into buffer of capacity units (capacity > 0), cutting what does not fit and always
// terminating. Conversions: %s and %ws (const char16_t*), %S (const char*, UTF-8), %d (int),
// %u, %x, %X (unsigned int), %%; flags 0 and -, and a decimal width. Anything else after a %
// is copied as written. Returns the units written, terminator excluded.
size_t FormatWideV(char16_t* buffer, size_t capacity, const char16_t* format, va_list args);
size_t FormatWide(char16_t* buffer, size_t capacity, const char16_t* format, ...);
