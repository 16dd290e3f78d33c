// Which program is in front and which programs run: the foreground watch, the running-program
// scan and the watch of a process's end. The rules that act on them live in autoprofile/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A program as the rules see it, or what is in front: the desktop (nothing to match), a window
// whose program is unknown (no process id, or a path that could not be read: title rules only),
// or a program.
struct ProgramInfo {
  enum class Kind { kDesktop, kUnknownProgram, kProgram };

  uint32_t pid = 0;             // 0: no process known (the desktop, or a window without a pid)
  std::u16string path;          // the executable's full path; empty when it could not be read
  // Linux: for a Wine or Proton program, the .exe it runs as its command line names it
  // (Z:\...\DCS.exe, or a Unix path); empty otherwise.
  std::u16string windows_path;
  std::u16string title;         // the window title (foreground changes only)
  bool path_unknown = false;    // a window or process whose program is unknown: title only

  // The desktop is what has neither a process, a path nor path_unknown: a default ProgramInfo.
  Kind kind() const {
    if (path_unknown) return Kind::kUnknownProgram;
    if (pid == 0 && path.empty() && windows_path.empty()) return Kind::kDesktop;
    return path.empty() && windows_path.empty() ? Kind::kUnknownProgram : Kind::kProgram;
  }
};

// The name the log gives program: the .exe of a Wine or Proton program, else its executable's
// file name (empty for the desktop and for a program that is unknown).
std::u16string ProgramNameOf(const ProgramInfo& program);

// The file name after the last "/" or "\" of path (path itself when it has none).
std::u16string FileNameOf(const std::u16string& path);

// Receives each change of the program in front. Called on the thread that runs the watch (the
// message-loop thread on Windows, the thread that calls Dispatch on Linux); it must only hand
// the change on, never wait for a driver.
using ForegroundSink = void (*)(void* context, const ProgramInfo& front);

// The OS's source of foreground changes: SetWinEventHook on Windows (plus, only under Wine, a
// 250 ms comparison of GetForegroundWindow), _NET_ACTIVE_WINDOW of the X11 root window on Linux.
// The service's own windows never count.
class ForegroundWatch {
 public:
  ForegroundWatch(ForegroundSink sink, void* context);
  ~ForegroundWatch();  // stops the watch
  ForegroundWatch(const ForegroundWatch&) = delete;
  ForegroundWatch& operator=(const ForegroundWatch&) = delete;

  // Starts watching and reports the program in front now. Windows: installs the hooks on the
  // calling thread, which must run a message loop. Linux: connects to $DISPLAY (BeginConnect,
  // then waits up to kConnectMs for EndConnect). False when there is no source (no display,
  // hooks refused): focus rules then match nothing.
  bool Start();
#ifndef _WIN32
  // A connection try that has not ended after this long is given up (Stop) by its caller.
  static constexpr int kConnectMs = 10000;
  // Starts a try to connect to $DISPLAY on a thread of the watch's own, so that a display that
  // is slow to answer, or a host that never does, holds up no caller: the socket's connect, the
  // set-up and the first round trips run there. PollFd becomes readable when the try has ended;
  // EndConnect then takes its result. Stop gives the try up at once: the thread waits for
  // nothing but the socket and the watch's stop signal. False when there is no DISPLAY.
  bool BeginConnect();
  bool Connecting() const;
  // Ends the try once PollFd is readable: true when connected, and then the program in front
  // is reported as by Start; false when the display could not be reached.
  bool EndConnect();
#endif
  // Linux: a descriptor that becomes readable when events wait (for poll), or while a try to
  // connect runs, when it has ended; -1 when not connected, and always -1 on Windows, where the
  // message loop delivers the hook.
  int PollFd() const;
  // Linux: reads the waiting events and reports changes. False when the connection is lost; a
  // later Start retries. Windows: does nothing and returns true.
  bool Dispatch();
  void Stop();
  // True while the watch also compares the window in front with the last one every 250 ms:
  // only under Wine, which never delivers the foreground event to the hook.
  bool Polling() const { return polling_; }

  struct State;  // each OS's half defines it

 private:
  ForegroundSink sink_;
  void* context_;
  bool polling_ = false;
  std::unique_ptr<State> state_;
};

// The programs that run now (pid, path, Linux windows_path; titles empty): a Toolhelp snapshot
// on Windows, /proc on Linux. False when the list cannot be read.
bool RunningPrograms(std::vector<ProgramInfo>* out);

#ifndef _WIN32
// The .exe a Linux process runs under Wine or Proton, from the path of its executable and its
// command line (/proc/PID/cmdline: arguments each ended by a NUL): argv[0] when it names an .exe
// (Wine's loader shows the game there), or else the first .exe argument when the process is a
// Wine or Proton loader (wine, wine64, wine-preloader, wine64-preloader, proton, also as the
// script a shell or Python runs); empty otherwise, so that "tail -f game.exe" is tail.
std::string WineProgramOf(const std::string& executable, const std::string& command_line);
#endif

// Called once, from the watch's own thread, when a watched process has ended.
using ExitSink = void (*)(void* context, uint32_t pid);

// Sees watched processes end at once: their process handles on Windows, pidfd_open on Linux.
// One thread waits for all of them and for the watch's stop signal; the destructor joins it.
class ExitWatch {
 public:
  ExitWatch(ExitSink sink, void* context);
  ~ExitWatch();
  ExitWatch(const ExitWatch&) = delete;
  ExitWatch& operator=(const ExitWatch&) = delete;

  // Watches pid (a second call for the same pid adds nothing). False when the process cannot
  // be watched (gone already, no rights): the caller's scan is the fall-back.
  bool Watch(uint32_t pid);
  // Stops watching every process and ends the thread.
  void Stop();

  struct State;  // each OS's half defines it

 private:
  ExitSink sink_;
  void* context_;
  std::unique_ptr<State> state_;
};

}  // namespace platform
