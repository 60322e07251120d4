// narup-capture: records what the computer plays and the microphone until
// SIGINT or SIGTERM, removes the loudspeaker echo from the microphone and
// writes the result; also cleans recorded files, tests its echo canceller,
// lists audio devices and sets the default output.

#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "cli/run_mode.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  return runMode(parseCommandLine(args));
}
