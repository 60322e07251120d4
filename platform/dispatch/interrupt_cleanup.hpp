#pragma once

#include <string>

// For a mode that writes files and has nothing to save when stopped (a
// recovery: the spool stays as it was): from now on SIGINT, SIGTERM and
// SIGHUP end the process at once, inside the signal, after removing every
// temporary file the tool is making and writing `failLine` (a whole
// console line) to standard error; the status is 1.
void armInterruptCleanup(const std::string& failLine);

// From here on those signals wait, blocked in the calling thread, and the
// process ends without them: for the last steps once the files are in
// place. Call it when no other thread of ours runs.
void holdInterrupts();
