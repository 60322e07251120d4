#include "base/status_line.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "base/console.hpp"
#include "base/status_line_state.hpp"

namespace {

// Carriage return, then erase to the end of the line: the cursor stays on
// the status line's row, which the next write takes over.
constexpr std::string_view kEraseLine = "\r\x1b[K";

// The status line must fit on one row, or erasing it would leave the
// wrapped part behind: cut it to the terminal's width (one cell per code
// point, which holds for the characters it uses).
std::string fitToTerminal(std::string_view text) {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col < 2) return std::string(text);
  const size_t cells = size.ws_col - 1u;
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool startsCodePoint = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (startsCodePoint && count++ == cells) return std::string(text.substr(0, i));
  }
  return std::string(text);
}

}  // namespace

StatusLineState& statusLineState() {
  static StatusLineState state;
  return state;
}

bool stderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void showStatusLine(std::string_view text) {
  if (!stderrIsTerminal()) return;
  StatusLineState& state = statusLineState();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.text = fitToTerminal(text);
  state.shown = true;
  std::string out(kEraseLine);
  out.append(state.text);
  writeAll(STDERR_FILENO, out.data(), out.size());
}

void clearStatusLine() {
  StatusLineState& state = statusLineState();
  std::lock_guard<std::mutex> guard(state.mutex);
  if (!state.shown) return;
  state.shown = false;
  state.text.clear();
  writeAll(STDERR_FILENO, kEraseLine.data(), kEraseLine.size());
}

std::string withStatusLine(const StatusLineState& state, std::string_view line) {
  if (!state.shown) return std::string(line);
  std::string out(kEraseLine);
  out.append(line);
  out.append(state.text);
  return out;
}
