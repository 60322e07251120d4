#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Every human-readable line of the tool goes to standard error through these
// two functions; standard output is left to the device lists.

// Writes "narup-capture: " + message + "\n" to standard error in one write.
// Never fails towards the caller.
void logErr(std::string_view message);

// Writes "narup-capture [FAIL] " + message + "\n" in one write; the caller
// goes on and ends its mode with status 1.
void logFail(std::string_view message);

// logFail, then ends the process with status 1 (for callers that cannot
// return to main).
[[noreturn]] void fail(std::string_view message);

// Writes every byte to the file descriptor, continuing after short writes
// and interrupted calls; false when a write fails (the rest is dropped).
// Every console line, the device documents and the files the tool writes go
// out through it.
bool writeAll(int fd, const void* data, size_t size);

// Builds a line from printf-style directives (the one formatting helper the
// report lines share).
std::string formatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
