// What skyhelm-ctl tells the user: lines on standard output and complaints on standard error.
#pragma once

#include <windows.h>

#include <string>

namespace ctl {

// Writes text to a console as UTF-16, or as UTF-8 to a file or pipe.
void Write(DWORD which, const std::wstring& text);
// One line on standard output.
void Say(const std::wstring& line);
// One line on standard error, after the program's name.
void Complain(const std::wstring& line);
// The system's text for an error code, without the trailing line break and full stop.
std::wstring ErrorText(DWORD code);

}  // namespace ctl
