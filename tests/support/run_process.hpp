#pragma once

// Runs a program to completion and keeps what it printed.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

struct ProcessResult {
  int exitStatus = -1;  // -1: a signal ended the program
  std::string out, err;
};

inline std::string readAllOf(int fd) {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0;)
    text.append(buf, static_cast<size_t>(n));
  return text;
}

// Runs `path` with the argument vector `args` (args[0]: the name it is started
// by); with `brokenStderr`, standard error is a pipe whose reader has gone.
// An alarm, kept across exec, ends a program that hangs.
inline ProcessResult runProcess(const std::string& path, std::vector<std::string> args, bool brokenStderr) {
  std::FILE *out = std::tmpfile(), *err = std::tmpfile();
  const pid_t pid = ::fork();
  if (pid == 0) {
    int broken[2] = {-1, -1};
    ::dup2(::fileno(out), STDOUT_FILENO);
    ::dup2(brokenStderr && ::pipe(broken) == 0 ? broken[1] : ::fileno(err), STDERR_FILENO);
    ::close(broken[0]);
    ::signal(SIGPIPE, SIG_DFL);
    ::alarm(120);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ProcessResult result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readAllOf(::fileno(out)),
                       readAllOf(::fileno(err))};
  std::fclose(out);
  std::fclose(err);
  return result;
}
