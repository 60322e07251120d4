#pragma once

#include <string>

// The files the tool is making under temporary names, kept where a stop
// signal can reach them: a mode that a signal ends before its files are in
// place removes them all first (removeTemporaryFilesNow, safe inside a
// signal handler). A fixed number of slots; a path that finds none, or is
// too long for one, is simply not covered.
class TemporaryFileMark {
 public:
  explicit TemporaryFileMark(const std::string& path);
  // Forgets the path (it was renamed into place or removed).
  ~TemporaryFileMark();
  TemporaryFileMark(TemporaryFileMark&& other) noexcept;
  TemporaryFileMark& operator=(TemporaryFileMark&& other) noexcept;
  TemporaryFileMark(const TemporaryFileMark&) = delete;
  TemporaryFileMark& operator=(const TemporaryFileMark&) = delete;

 private:
  int slot_ = -1;
};

// Unlinks every marked file. Only async-signal-safe calls.
void removeTemporaryFilesNow();
