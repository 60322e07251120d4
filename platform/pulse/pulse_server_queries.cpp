#include "platform/pulse/pulse_server_queries.hpp"

#include <pulse/def.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>

#include <functional>

#include "platform/pulse/pulse_record_handoff.hpp"

namespace {

// What a callback gathers on the loop's thread; read by the waiting caller
// once the operation is done. The hand-over marks order the two for
// ThreadSanitizer as the loop's lock does.
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
  return {info.index, textOr(info.name), textOr(info.description),
          textOr(info.monitor_source_name)};
}

PulseSource sourceOf(const pa_source_info& info) {
  PulseSource s;
  s.index = info.index;
  s.name = textOr(info.name);
  s.description = textOr(info.description);
  s.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
  s.formFactor = property(info.proplist, PA_PROP_DEVICE_FORM_FACTOR);
  s.bus = property(info.proplist, PA_PROP_DEVICE_BUS);
  s.layout.rate = info.sample_spec.rate;
  s.layout.channels = info.sample_spec.channels;
  for (uint8_t i = 0; i < info.channel_map.channels; ++i) {
    s.layout.channelPositions.push_back(info.channel_map.map[i]);
  }
  return s;
}

// eol < 0: the server reported an error (no such entity, for one); eol > 0:
// the end of the list.
void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  loop_handoff::Scope handoff;
  auto* reply = static_cast<ListReply<PulseSink>*>(userdata);
  if (eol < 0) reply->failed = true;
  if (eol == 0 && info != nullptr) reply->records.push_back(sinkOf(*info));
}

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  loop_handoff::Scope handoff;
  auto* reply = static_cast<ListReply<PulseSource>*>(userdata);
  if (eol < 0) reply->failed = true;
  if (eol == 0 && info != nullptr) reply->records.push_back(sourceOf(*info));
}

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  loop_handoff::Scope handoff;
  auto* reply = static_cast<std::optional<PulseServerDefaults>*>(userdata);
  if (info == nullptr) return;
  *reply = PulseServerDefaults{textOr(info->default_sink_name), textOr(info->default_source_name)};
}

void onSuccess(pa_context*, int success, void* userdata) {
  loop_handoff::Scope handoff;
  *static_cast<std::optional<bool>*>(userdata) = success != 0;
}

// Sends one request with the loop locked and waits for its answer; false
// when the server is gone, the request could not be sent, or no answer came
// by the deadline.
bool ask(const PulseConnection& connection, PulseDeadline deadline,
         const std::function<pa_operation*(pa_context*)>& request) {
  PulseConnection::Lock lock(connection);
  loop_handoff::Scope handoff;
  if (!connection.isReady()) return false;
  const bool answered = connection.waitForOperation(request(connection.context()), deadline);
  loop_handoff::mark();
  return answered;
}

// A whole list, or nothing.
template <typename Record>
std::optional<std::vector<Record>> askList(const PulseConnection& connection,
                                           PulseDeadline deadline,
                                           const std::function<pa_operation*(pa_context*,
                                                                             ListReply<Record>*)>&
                                               request) {
  ListReply<Record> reply;
  if (!ask(connection, deadline, [&](pa_context* c) { return request(c, &reply); }) ||
      reply.failed) {
    return std::nullopt;
  }
  return std::move(reply.records);
}

// The one record a lookup names, or nothing.
template <typename Record>
std::optional<Record> firstOf(std::optional<std::vector<Record>> records) {
  if (!records || records->empty()) return std::nullopt;
  return std::move(records->front());
}

}  // namespace

std::optional<std::vector<PulseSink>> querySinks(const PulseConnection& connection,
                                                 PulseDeadline deadline) {
  return askList<PulseSink>(connection, deadline, [](pa_context* c, ListReply<PulseSink>* r) {
    return pa_context_get_sink_info_list(c, onSinkInfo, r);
  });
}

std::optional<PulseSink> querySink(const PulseConnection& connection, uint32_t index,
                                   PulseDeadline deadline) {
  return firstOf(askList<PulseSink>(connection, deadline,
                                    [index](pa_context* c, ListReply<PulseSink>* r) {
                                      return pa_context_get_sink_info_by_index(c, index,
                                                                               onSinkInfo, r);
                                    }));
}

std::optional<PulseSink> querySinkByName(const PulseConnection& connection,
                                         const std::string& name, PulseDeadline deadline) {
  return firstOf(askList<PulseSink>(connection, deadline,
                                    [&name](pa_context* c, ListReply<PulseSink>* r) {
                                      return pa_context_get_sink_info_by_name(c, name.c_str(),
                                                                              onSinkInfo, r);
                                    }));
}

std::optional<std::vector<PulseSource>> querySources(const PulseConnection& connection,
                                                     PulseDeadline deadline) {
  return askList<PulseSource>(connection, deadline, [](pa_context* c, ListReply<PulseSource>* r) {
    return pa_context_get_source_info_list(c, onSourceInfo, r);
  });
}

std::optional<PulseSource> querySourceByName(const PulseConnection& connection,
                                             const std::string& name, PulseDeadline deadline) {
  return firstOf(askList<PulseSource>(connection, deadline,
                                      [&name](pa_context* c, ListReply<PulseSource>* r) {
                                        return pa_context_get_source_info_by_name(
                                            c, name.c_str(), onSourceInfo, r);
                                      }));
}

std::optional<PulseServerDefaults> queryServerDefaults(const PulseConnection& connection,
                                                       PulseDeadline deadline) {
  std::optional<PulseServerDefaults> reply;
  if (!ask(connection, deadline, [&](pa_context* c) {
        return pa_context_get_server_info(c, onServerInfo, &reply);
      })) {
    return std::nullopt;
  }
  return reply;
}

int32_t setDefaultSink(const PulseConnection& connection, const std::string& sinkName,
                       PulseDeadline deadline) {
  std::optional<bool> success;
  const bool answered = ask(connection, deadline, [&](pa_context* c) {
    return pa_context_set_default_sink(c, sinkName.c_str(), onSuccess, &success);
  });
  if (answered && success == true) return 0;
  PulseConnection::Lock lock(connection);
  const int code = connection.lastErrorCode();
  if (code != PA_OK) return code;
  return answered ? PA_ERR_UNKNOWN : PA_ERR_TIMEOUT;
}

std::string queryFailureText(const PulseConnection& connection) {
  PulseConnection::Lock lock(connection);
  if (connection.lastErrorCode() == PA_OK) return pa_strerror(PA_ERR_TIMEOUT);
  return connection.lastError();
}
