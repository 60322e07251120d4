#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "platform/pulse/pulse_connection.hpp"

// The one connection that both live sources share, made when a source first
// needs it (never earlier, so a tool that records nothing never touches the
// server) and made again if the server has gone away since. Thread-safe.
class PulseRecordLink {
 public:
  // Longest wait for a server to accept us.
  static constexpr std::chrono::milliseconds kConnectTimeout{3000};

  // The connection, or nothing with the reason (libpulse's words) in `error`.
  std::shared_ptr<PulseConnection> get(std::string* error = nullptr);

 private:
  std::mutex mutex_;                         // guards connection_
  std::shared_ptr<PulseConnection> connection_;
};
