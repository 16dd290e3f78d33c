// A printf-style narrow formatter whose %ls and %S take UTF-16 strings (char16_t is not wchar_t
// on Linux, so the C runtime's own %ls cannot be used for them).
#pragma once

#include <cstdarg>
#include <string>

// Appends the formatted text to out. Every C conversion is supported through snprintf, one
// conversion at a time; %ls and %S take const char16_t* and are written as UTF-8 (precision
// counts UTF-16 units, width counts bytes); %lc takes a UTF-16 unit. %n writes nothing.
void FormatNarrowV(std::string* out, const char* format, va_list args);
void FormatNarrow(std::string* out, const char* format, ...);
