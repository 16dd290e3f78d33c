// The debugger's output channel (OutputDebugStringW on Windows; none elsewhere).
#pragma once

#include <string_view>

namespace platform {

// Sends text to an attached debugger or debug viewer; does nothing where the OS has no channel.
void WriteDebugOutput(std::u16string_view text);

}  // namespace platform
