#include "platform/pulse/pulse_device_queries.hpp"

#include <pulse/def.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>

namespace {

// What a list callback gathers on the loop's thread; read by the waiting
// caller once the operation is done (both under the loop's lock).
template <typename Record>
struct ListReply {
  std::vector<Record> records;
  bool failed = false;
};

std::string textOr(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

std::optional<std::string> property(const pa_proplist* props, const char* key) {
  if (props == nullptr) return std::nullopt;
  const char* value = pa_proplist_gets(props, key);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

PulseSink sinkOf(const pa_sink_info& info) {
  return {info.index, textOr(info.name), textOr(info.description)};
}

PulseSource sourceOf(const pa_source_info& info) {
  PulseSource s;
  s.index = info.index;
  s.name = textOr(info.name);
  s.description = textOr(info.description);
  s.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
  s.formFactor = property(info.proplist, PA_PROP_DEVICE_FORM_FACTOR);
  s.bus = property(info.proplist, PA_PROP_DEVICE_BUS);
  return s;
}

// eol < 0: the server reported an error (no such entity, for one); eol > 0:
// the end of the list.
void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* reply = static_cast<ListReply<PulseSink>*>(userdata);
  if (eol < 0) reply->failed = true;
  if (eol == 0 && info != nullptr) reply->records.push_back(sinkOf(*info));
}

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* reply = static_cast<ListReply<PulseSource>*>(userdata);
  if (eol < 0) reply->failed = true;
  if (eol == 0 && info != nullptr) reply->records.push_back(sourceOf(*info));
}

struct ServerReply {
  std::optional<PulseServerDefaults> defaults;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* reply = static_cast<ServerReply*>(userdata);
  if (info == nullptr) return;
  reply->defaults = PulseServerDefaults{textOr(info->default_sink_name),
                                        textOr(info->default_source_name)};
}

struct SuccessReply {
  bool answered = false;
  bool success = false;
};

void onSuccess(pa_context*, int success, void* userdata) {
  auto* reply = static_cast<SuccessReply*>(userdata);
  reply->answered = true;
  reply->success = success != 0;
}

}  // namespace

std::optional<std::vector<PulseSink>> querySinks(const PulseConnection& connection,
                                                 PulseConnection::Clock::time_point deadline) {
  PulseConnection::Lock lock(connection);
  if (!connection.isReady()) return std::nullopt;
  ListReply<PulseSink> reply;
  pa_operation* op = pa_context_get_sink_info_list(connection.context(), onSinkInfo, &reply);
  if (!connection.waitForOperation(op, deadline) || reply.failed) return std::nullopt;
  return std::move(reply.records);
}

std::optional<PulseSink> querySink(const PulseConnection& connection, uint32_t index,
                                   PulseConnection::Clock::time_point deadline) {
  PulseConnection::Lock lock(connection);
  if (!connection.isReady()) return std::nullopt;
  ListReply<PulseSink> reply;
  pa_operation* op =
      pa_context_get_sink_info_by_index(connection.context(), index, onSinkInfo, &reply);
  if (!connection.waitForOperation(op, deadline) || reply.failed || reply.records.empty()) {
    return std::nullopt;
  }
  return std::move(reply.records.front());
}

std::optional<std::vector<PulseSource>> querySources(const PulseConnection& connection,
                                                     PulseConnection::Clock::time_point deadline) {
  PulseConnection::Lock lock(connection);
  if (!connection.isReady()) return std::nullopt;
  ListReply<PulseSource> reply;
  pa_operation* op = pa_context_get_source_info_list(connection.context(), onSourceInfo, &reply);
  if (!connection.waitForOperation(op, deadline) || reply.failed) return std::nullopt;
  return std::move(reply.records);
}

std::optional<PulseServerDefaults> queryServerDefaults(const PulseConnection& connection,
                                                       PulseConnection::Clock::time_point deadline) {
  PulseConnection::Lock lock(connection);
  if (!connection.isReady()) return std::nullopt;
  ServerReply reply;
  pa_operation* op = pa_context_get_server_info(connection.context(), onServerInfo, &reply);
  if (!connection.waitForOperation(op, deadline)) return std::nullopt;
  return reply.defaults;
}

int32_t setDefaultSink(const PulseConnection& connection, const std::string& sinkName,
                       PulseConnection::Clock::time_point deadline) {
  PulseConnection::Lock lock(connection);
  if (!connection.isReady()) return connection.lastErrorCode();
  SuccessReply reply;
  pa_operation* op =
      pa_context_set_default_sink(connection.context(), sinkName.c_str(), onSuccess, &reply);
  if (op == nullptr) return connection.lastErrorCode();
  if (!connection.waitForOperation(op, deadline)) {
    int code = connection.lastErrorCode();
    return code != PA_OK ? code : PA_ERR_TIMEOUT;
  }
  if (!reply.answered || !reply.success) {
    int code = connection.lastErrorCode();
    return code != PA_OK ? code : PA_ERR_UNKNOWN;
  }
  return 0;
}
