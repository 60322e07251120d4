#pragma once

#include <mutex>
#include <string>
#include <string_view>

// What the console shares with the status line: the text on screen, if any.
// Private to base/.
struct StatusLineState {
  std::mutex mutex;   // guards text and shown; held across one write
  std::string text;   // guarded by mutex
  bool shown = false; // guarded by mutex
};

StatusLineState& statusLineState();

// `line` (a whole console line, line feed included) as it goes out while the
// status line may be shown: cleared before, drawn again after.
std::string withStatusLine(const StatusLineState& state, std::string_view line);
