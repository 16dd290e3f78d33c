// The debugger output channel on Linux: there is none, so nothing is written.
#include "platform/debug_output.h"

namespace platform {

void WriteDebugOutput(std::u16string_view text) {}

}  // namespace platform
