// The program entry point of the service: a wide GUI entry on Windows, main on Linux.
#include "app/process_entry.h"

#ifdef _WIN32
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  return app::ProcessEntry(instance);
}
#else
int main() { return app::ProcessEntry(nullptr); }
#endif
