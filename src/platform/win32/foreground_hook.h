// The WinEvent callback of the foreground watch, visible to the tests that call it with real
// windows (Wine never delivers the events it is installed for).
#pragma once

#include <windows.h>

namespace platform {

// Handles EVENT_SYSTEM_FOREGROUND and EVENT_SYSTEM_MINIMIZEEND of a whole window (OBJID_WINDOW,
// CHILDID_SELF), and EVENT_OBJECT_NAMECHANGE of the foreground window, for the foreground watch
// started on the calling thread; anything else, or no watch on this thread, is ignored. Reports
// only a change of window or of its title, and never one of this process's own windows.
void CALLBACK ForegroundEventProc(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object,
                                  LONG child, DWORD thread, DWORD time);

}  // namespace platform
