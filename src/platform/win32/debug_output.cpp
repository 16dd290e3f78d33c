// The debugger output channel on Windows: OutputDebugStringW.
#include "platform/debug_output.h"

#include <windows.h>

#include <string>

namespace platform {

void WriteDebugOutput(std::u16string_view text) {
  std::wstring terminated(text.begin(), text.end());
  OutputDebugStringW(terminated.c_str());
}

}  // namespace platform
