#pragma once

#include "cli/command_line.hpp"

// Runs the chosen mode against the sound server. Every mode ends the process
// itself; the returned status is reached only if the main loop of a
// recording ever returns.
int runMode(const Mode& mode);
