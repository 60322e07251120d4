#include "platform/dispatch/stop_signals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/dispatch/main_queue.hpp"

// A self-pipe rather than signalfd: signalfd only sees a signal that is
// blocked in every thread, and by the time the signals are armed the
// capturer's queue worker (and the sound server's thread) already exist with
// the signals unblocked; a SIGINT delivered to one of them would still kill
// the process. A handler installed with sigaction applies to every thread:
// whichever thread takes the signal writes one byte, and the main loop turns
// each byte into a call on the main thread.

namespace {

int gPipe[2] = {-1, -1};  // [0] read by the main loop, [1] written by the handler

std::mutex gHandlerMutex;                          // guards gHandler
std::shared_ptr<std::function<void()>> gHandler;  // the handler armed last

extern "C" void onStopSignal(int signo) {
  // Only async-signal-safe calls here: one write, errno kept for whatever
  // the interrupted thread was doing. A full pipe drops the byte, and by then
  // many stops are already waiting.
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(signo);
  [[maybe_unused]] ssize_t n = ::write(gPipe[1], &byte, 1);
  errno = saved;
}

void onPipeReadable() {
  unsigned char bytes[64];
  for (;;) {
    ssize_t n = ::read(gPipe[0], bytes, sizeof bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // drained (EAGAIN)
    std::shared_ptr<std::function<void()>> handler;
    {
      std::lock_guard<std::mutex> guard(gHandlerMutex);
      handler = gHandler;
    }
    for (ssize_t i = 0; i < n; ++i) {
      MainQueue::shared().async([handler] {
        if (handler && *handler) (*handler)();
      });
    }
  }
}

void installHandler(int signo) {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaddset(&action.sa_mask, SIGHUP);
  action.sa_flags = SA_RESTART;
  ::sigaction(signo, &action, nullptr);
}

}  // namespace

void armStopSignals(std::function<void()> handler) {
  {
    std::lock_guard<std::mutex> guard(gHandlerMutex);
    gHandler = std::make_shared<std::function<void()>>(std::move(handler));
  }
  if (gPipe[0] < 0) {
    if (::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      // Without the pipe a signal could not reach the loop; ignoring the
      // signals still keeps them from killing the recording unwritten.
      ::signal(SIGTERM, SIG_IGN);
      ::signal(SIGINT, SIG_IGN);
      ::signal(SIGHUP, SIG_IGN);
      return;
    }
    MainQueue::shared().watchReadable(gPipe[0], onPipeReadable);
  }
  installHandler(SIGTERM);
  installHandler(SIGINT);
  // A closed terminal (or a dropped ssh session) stops the recording as
  // SIGTERM does: the take is written, not lost with the window.
  installHandler(SIGHUP);
}
