#pragma once

// Standard error (or output) as the tests see it: every console line goes to
// its file descriptor, from whichever thread writes it.

#include <cstdio>
#include <sstream>

#include "support/run_process.hpp"

// The lines of `text`, without their line feeds.
inline std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Sends the descriptor into a temporary file for the life of the object.
class StderrCapture {
 public:
  explicit StderrCapture(int fd = STDERR_FILENO) : target_(fd), saved_(::dup(fd)) { ::dup2(::fileno(file_), fd); }
  ~StderrCapture() {
    ::dup2(saved_, target_);
    ::close(saved_);
    std::fclose(file_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  std::string text() const { return readAllOf(::fileno(file_)); }
  std::vector<std::string> lines() const { return linesOf(text()); }

 private:
  int target_, saved_;
  std::FILE* file_ = std::tmpfile();
};
