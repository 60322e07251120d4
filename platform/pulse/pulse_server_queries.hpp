#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/pulse/pulse_connection.hpp"

// The sound server's sinks, sources, monitors, defaults and channel layouts, as
// plain records: the one set of queries behind the device lists, the output
// selection and the capture sources. Each call is synchronous and bounded
// and locks the connection's loop itself: call it neither with the lock held
// (the wait would keep the loop out) nor from the loop's thread. It gives
// nothing when the server does not answer by the deadline or answers with an
// error (the connection's lastErrorCode() then says which, PA_OK for none).

using PulseDeadline = PulseConnection::Clock::time_point;

// A source's rate and channel map as the server states them.
struct PulseChannelLayout {
  uint32_t rate = 0;                  // Hz
  uint8_t channels = 0;
  std::vector<int> channelPositions;  // pa_channel_position_t values
};

struct PulseSink {
  uint32_t index = 0;
  std::string name;
  std::string description;
  std::string monitorSourceName;  // the source that records what it plays
};

struct PulseSource {
  uint32_t index = 0;
  std::string name;
  std::string description;
  bool isMonitor = false;                 // the monitor of a sink
  std::optional<std::string> formFactor;  // property device.form_factor
  std::optional<std::string> bus;         // property device.bus
  PulseChannelLayout layout;
};

struct PulseServerDefaults {
  std::string sinkName;    // empty when the server has no default sink
  std::string sourceName;  // empty when the server has no default source
};

// Every sink, in the server's order (ascending index).
std::optional<std::vector<PulseSink>> querySinks(const PulseConnection& connection,
                                                 PulseDeadline deadline);

// The sink with that index; nothing when there is none.
std::optional<PulseSink> querySink(const PulseConnection& connection, uint32_t index,
                                   PulseDeadline deadline);

// The sink with that name; nothing when there is none.
std::optional<PulseSink> querySinkByName(const PulseConnection& connection,
                                         const std::string& name, PulseDeadline deadline);

// Every source, monitors included, in the server's order.
std::optional<std::vector<PulseSource>> querySources(const PulseConnection& connection,
                                                     PulseDeadline deadline);

// The source with that name; nothing when there is none.
std::optional<PulseSource> querySourceByName(const PulseConnection& connection,
                                             const std::string& name, PulseDeadline deadline);

// The names of the server's default sink and source.
std::optional<PulseServerDefaults> queryServerDefaults(const PulseConnection& connection,
                                                       PulseDeadline deadline);

// Makes the named sink the server's default: 0 on success, else the libpulse
// error code (PA_ERR_TIMEOUT when the server did not answer in time).
int32_t setDefaultSink(const PulseConnection& connection, const std::string& sinkName,
                       PulseDeadline deadline);

// Why the last query gave nothing, in libpulse's words: the connection's
// error, or the words for a timeout when the server simply did not answer.
std::string queryFailureText(const PulseConnection& connection);
