#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/pulse/pulse_connection.hpp"

// Synchronous, bounded queries of the sound server's sinks, sources and
// defaults, as plain records. Each call locks the connection's loop itself:
// call it neither with the lock held (the wait would keep the loop out) nor
// from the loop's thread. It gives nothing when the server does not answer
// by the deadline or answers with an error.

struct PulseSink {
  uint32_t index = 0;
  std::string name;
  std::string description;
};

struct PulseSource {
  uint32_t index = 0;
  std::string name;
  std::string description;
  bool isMonitor = false;                 // the monitor of a sink
  std::optional<std::string> formFactor;  // property device.form_factor
  std::optional<std::string> bus;         // property device.bus
};

struct PulseServerDefaults {
  std::string sinkName;    // empty when the server has no default sink
  std::string sourceName;  // empty when the server has no default source
};

// Every sink, in the server's order (ascending index).
std::optional<std::vector<PulseSink>> querySinks(const PulseConnection& connection,
                                                 PulseConnection::Clock::time_point deadline);

// The sink with that index; nothing when there is none.
std::optional<PulseSink> querySink(const PulseConnection& connection, uint32_t index,
                                   PulseConnection::Clock::time_point deadline);

// Every source, monitors included, in the server's order.
std::optional<std::vector<PulseSource>> querySources(const PulseConnection& connection,
                                                     PulseConnection::Clock::time_point deadline);

// The names of the server's default sink and source.
std::optional<PulseServerDefaults> queryServerDefaults(const PulseConnection& connection,
                                                       PulseConnection::Clock::time_point deadline);

// Makes the named sink the server's default: 0 on success, else the libpulse
// error code (PA_ERR_TIMEOUT when the server did not answer in time).
int32_t setDefaultSink(const PulseConnection& connection, const std::string& sinkName,
                       PulseConnection::Clock::time_point deadline);
