#pragma once

#include <string_view>

// A status line kept below the console lines on a terminal: every console
// line first clears it and then draws it again after itself, in the same
// write, so that no line is ever cut by it. Only a terminal gets one; on a
// pipe or a file the console lines stay exactly as they are.

// True when standard error is a terminal.
bool stderrIsTerminal();

// Shows `text` as the status line (replacing the one shown), without a line
// feed. Does nothing when standard error is not a terminal.
void showStatusLine(std::string_view text);

// Removes the status line from the screen; later console lines are plain.
void clearStatusLine();
