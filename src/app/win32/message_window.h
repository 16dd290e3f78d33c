// The message-only window of the service on Windows and the decoding of its device-change
// messages.
#pragma once

#include <windows.h>

#include "platform/devices.h"

namespace app {

// Decodes a WM_DEVICECHANGE message: the kind from wparam, the device type and the fields of the
// broadcast header in lparam (which may be null).
platform::DeviceChange DecodeDeviceChange(WPARAM wparam, LPARAM lparam);

// The window procedure: quit on WM_DESTROY, attach and detach on WM_DEVICECHANGE; everything
// else goes to DefWindowProcW. Discovery is the caller's, once the window exists.
LRESULT CALLBACK MessageWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Registers the window class named by the instance name. Its result is not looked at: a failed
// registration shows up as a failed window creation.
void RegisterMessageWindowClass(HINSTANCE instance);
// Creates the message-only window, to which devices::DiscoverDevices then ties the device
// notifications.
HWND CreateMessageWindow(HINSTANCE instance);
// Runs the message loop until WM_QUIT or an error of GetMessageW.
void RunMessageLoop();

}  // namespace app
