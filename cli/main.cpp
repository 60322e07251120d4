// narup-capture: records what the computer plays and the microphone until
// SIGINT or SIGTERM, removes the loudspeaker echo from the microphone and
// writes the result; also cleans recorded files, tests its echo canceller,
// lists audio devices and sets the default output.

#include <csignal>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "cli/run_mode.hpp"

int main(int argc, char** argv) {
  // A reader of standard error or output that went away (`| head`, a closed
  // tee) costs the lines it misses, never the files being written.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args(argv, argv + argc);
  return runMode(parseCommandLine(args));
}
