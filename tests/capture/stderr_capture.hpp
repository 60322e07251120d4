#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Sends standard error (file descriptor 2, which every console line is
// written to) into a temporary file for the life of the object.
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
    off_t at = 0;
    for (;;) {
      ssize_t n = ::pread(fd_, buf, sizeof buf, at);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
      at += n;
    }
    return out;
  }
  // The lines written so far, without their line feeds.
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::string all = text();
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i] == '\n') {
        out.push_back(all.substr(start, i - start));
        start = i + 1;
      }
    }
    if (start < all.size()) out.push_back(all.substr(start));
    return out;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
};
