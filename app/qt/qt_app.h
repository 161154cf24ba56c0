#pragma once

namespace lumaflash::app {

// The program: reads the options, starts the simulated devices when asked, runs the main window
// and returns the exit status (0 whenever the window ends, after a successful update too;
// 2 for a usage error; 1 when there is no display or the simulated devices cannot start).
class QtApp {
 public:
  int Run(int argc, char** argv);
};

}  // namespace lumaflash::app
