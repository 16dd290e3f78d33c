// Conversions between the UTF-16 used inside the system and the UTF-8 of Linux paths and consoles.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Lone surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);
// Invalid sequences become U+FFFD.
std::u16string FromUtf8(std::string_view text);

}  // namespace platform
