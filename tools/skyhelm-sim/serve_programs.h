// The demo programs of skyhelm-sim serve: a few real processes under game names, brought to the
// front in turn on the X11 display, so that the service's automatic profiles switch.
#pragma once

#include <memory>
#include <string>

namespace simtool {

class DemoPrograms {
 public:
  DemoPrograms();
  ~DemoPrograms();  // ends the programs it started and closes their windows
  DemoPrograms(const DemoPrograms&) = delete;
  DemoPrograms& operator=(const DemoPrograms&) = delete;

  // Brings the next one of the desktop and the demo programs to the front, starting the program
  // when it does not run yet. Without an X11 display the program only runs.
  void Next();
  // What is in front, for the screen: "desktop" or the program's name and title.
  std::string Describe() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace simtool
