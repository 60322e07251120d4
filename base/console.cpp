#include "base/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "base/status_line_state.hpp"

namespace {

// One write(2) per line: lines from different threads never interleave, and
// nothing sits in a buffer of ours when the process exits. A short write (a
// pipe that is nearly full) is continued rather than lost.
void writeLine(std::string_view prefix, std::string_view message) {
  std::string line;
  line.reserve(prefix.size() + message.size() + 1);
  line.append(prefix);
  line.append(message);
  line.push_back('\n');
  // A status line on the terminal is cleared first and drawn again after
  // the line, in the same write; without one the line goes out as it is.
  StatusLineState& status = statusLineState();
  std::lock_guard<std::mutex> guard(status.mutex);
  const std::string out = withStatusLine(status, line);
  writeAll(STDERR_FILENO, out.data(), out.size());
}

}  // namespace

bool writeAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void logErr(std::string_view message) { writeLine("narup-capture: ", message); }

void logFail(std::string_view message) { writeLine("narup-capture [FAIL] ", message); }

void fail(std::string_view message) {
  logFail(message);
  std::exit(1);
}

std::string formatLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (size > 0) {
    out.resize(static_cast<size_t>(size) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(size));
  }
  va_end(args);
  return out;
}
