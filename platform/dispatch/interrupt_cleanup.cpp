#include "platform/dispatch/interrupt_cleanup.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "base/temp_files.hpp"

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The line is copied here before the handler is installed: the handler
// only reads it.
char gLine[1024];
size_t gLineSize = 0;

extern "C" void onInterrupt(int) {
  removeTemporaryFilesNow();
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, gLine, gLineSize);
  ::_exit(1);
}

}  // namespace

void armInterruptCleanup(const std::string& failLine) {
  gLineSize = std::min(failLine.size(), sizeof gLine);
  std::memcpy(gLine, failLine.data(), gLineSize);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signo : kSignals) sigaddset(&action.sa_mask, signo);
  for (int signo : kSignals) ::sigaction(signo, &action, nullptr);
}

void holdInterrupts() {
  sigset_t set;
  sigemptyset(&set);
  for (int signo : kSignals) sigaddset(&set, signo);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}
