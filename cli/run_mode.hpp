#pragma once

#include "cli/command_line.hpp"

// Runs the chosen mode against the sound server and returns the process's
// exit status. A recording never returns: its finish ends the process.
int runMode(const Mode& mode);
