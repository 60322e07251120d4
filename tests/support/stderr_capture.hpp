#pragma once

// Standard error as the tests see it: every console line goes to file
// descriptor 2, from whichever thread writes it.

#include <stdlib.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

// The lines of `text`, without their line feeds.
inline std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Sends standard error into a temporary file for the life of the object.
class StderrCapture {
 public:
  StderrCapture() {
    char name[] = "/tmp/narup-stderr-XXXXXX";
    fd_ = ::mkstemp(name);
    ::unlink(name);
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(fd_, STDERR_FILENO);
  }
  ~StderrCapture() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    ::close(fd_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::string text() const {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::pread(fd_, buf, sizeof buf, static_cast<off_t>(out.size()))) > 0;)
      out.append(buf, static_cast<size_t>(n));
    return out;
  }
  std::vector<std::string> lines() const { return linesOf(text()); }

 private:
  int fd_ = -1;
  int saved_ = -1;
};
