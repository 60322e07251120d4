#include "platform/pulse/pulse_devices.hpp"

#include <pulse/def.h>

#include <chrono>
#include <map>
#include <utility>

#include "platform/pulse/pulse_connection.hpp"

namespace {

using Clock = PulseConnection::Clock;

// A private server answers in milliseconds; these bounds only keep a missing
// or hung server from holding the tool.
constexpr std::chrono::milliseconds kConnectTimeout{3000};
constexpr std::chrono::milliseconds kQueryTimeout{2000};
constexpr const char* kClientName = "narup-capture";

// Four-character transport codes.
constexpr uint32_t kTransportTypeBluetooth = 0x626C7565;  // 'blue'
constexpr uint32_t kTransportTypeUSB = 0x75736220;        // 'usb '

std::shared_ptr<PulseConnection> connectQuietly() {
  return PulseConnection::connect(kClientName, kConnectTimeout);
}

// The queries of one client object. A query that runs into its deadline marks
// the server as stalled, and every later query fails at once, so that a hung
// server costs one timeout, not one per device.
class PulseQueries {
 public:
  explicit PulseQueries(std::shared_ptr<PulseConnection> connection)
      : connection_(std::move(connection)) {}

  // Runs query(connection, args..., deadline); nothing without a server.
  template <typename Query, typename... Args>
  auto ask(Query query, const Args&... args)
      -> decltype(query(std::declval<const PulseConnection&>(), args..., Clock::time_point())) {
    if (connection_ == nullptr || stalled_) return std::nullopt;
    Clock::time_point deadline = Clock::now() + kQueryTimeout;
    auto result = query(*connection_, args..., deadline);
    if (!result && Clock::now() >= deadline) stalled_ = true;
    return result;
  }

  bool usable() const { return connection_ != nullptr && !stalled_; }
  const std::shared_ptr<PulseConnection>& connection() const { return connection_; }

 private:
  std::shared_ptr<PulseConnection> connection_;  // null: no server
  bool stalled_ = false;
};

class PulseAudioHardware final : public AudioHardware {
 public:
  explicit PulseAudioHardware(std::shared_ptr<PulseConnection> connection)
      : queries_(std::move(connection)) {}

  std::vector<AudioDeviceID> allDeviceIDs() override {
    std::optional<std::vector<PulseSink>> sinks = queries_.ask(querySinks);
    if (!sinks) return {};
    known_.clear();
    std::vector<AudioDeviceID> ids;
    ids.reserve(sinks->size());
    for (PulseSink& sink : *sinks) {
      ids.push_back(sink.index);
      known_.emplace(sink.index, std::move(sink));
    }
    return ids;
  }

  // Every sink plays sound; one the server no longer knows does not.
  bool hasOutputStreams(AudioDeviceID device) override { return sink(device).has_value(); }

  std::optional<std::string> deviceUID(AudioDeviceID device) override {
    std::optional<PulseSink> s = sink(device);
    if (!s || s->name.empty()) return std::nullopt;
    return s->name;
  }

  std::optional<std::string> deviceName(AudioDeviceID device) override {
    std::optional<PulseSink> s = sink(device);
    if (!s) return std::nullopt;
    return s->description;
  }

  std::optional<AudioDeviceID> defaultOutputDevice() override {
    std::optional<PulseServerDefaults> defaults = queries_.ask(queryServerDefaults);
    if (!defaults || defaults->sinkName.empty()) return std::nullopt;
    if (std::optional<AudioDeviceID> id = knownByName(defaults->sinkName)) return id;
    allDeviceIDs();  // the default may be newer than the list we hold
    return knownByName(defaults->sinkName);
  }

  int32_t setDefaultOutputDevice(AudioDeviceID device) override {
    std::optional<PulseSink> s = sink(device);
    if (!s) return queries_.usable() ? PA_ERR_NOENTITY : PA_ERR_CONNECTIONREFUSED;
    Clock::time_point deadline = Clock::now() + kQueryTimeout;
    return setDefaultSink(*queries_.connection(), s->name, deadline);
  }

 private:
  // The sink from the last list, or asked of the server by index.
  std::optional<PulseSink> sink(AudioDeviceID device) {
    auto it = known_.find(device);
    if (it != known_.end()) return it->second;
    std::optional<PulseSink> s = queries_.ask(querySink, device);
    if (s) known_.emplace(device, *s);
    return s;
  }

  std::optional<AudioDeviceID> knownByName(const std::string& name) const {
    for (const auto& [id, sink] : known_) {
      if (sink.name == name) return id;
    }
    return std::nullopt;
  }

  PulseQueries queries_;
  std::map<AudioDeviceID, PulseSink> known_;  // sinks seen so far, by index
};

// The capture device that a (non-monitor) source stands for.
CaptureDevice captureDeviceOf(const PulseSource& source) {
  return {source.name, source.description, transportTypeOf(source.formFactor, source.bus)};
}

class PulseCaptureDevices final : public CaptureDevices {
 public:
  explicit PulseCaptureDevices(std::shared_ptr<PulseConnection> connection)
      : queries_(std::move(connection)) {}

  // The server makes no difference between microphones and other inputs:
  // both lists are every source that is not a monitor.
  std::vector<CaptureDevice> discoverDevices() override { return inputs(); }
  std::vector<CaptureDevice> allDevices() override { return inputs(); }

  std::optional<CaptureDevice> defaultDevice() override {
    std::optional<PulseServerDefaults> defaults = queries_.ask(queryServerDefaults);
    if (!defaults || defaults->sourceName.empty()) return std::nullopt;
    return deviceWithUniqueID(defaults->sourceName);
  }

  // Looked up in the list rather than by name on the server, which would also
  // resolve aliases such as "@DEFAULT_SOURCE@" and accept monitors.
  std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) override {
    for (CaptureDevice& device : inputs()) {
      if (device.uniqueID == uniqueID) return std::move(device);
    }
    return std::nullopt;
  }

 private:
  std::vector<CaptureDevice> inputs() {
    std::optional<std::vector<PulseSource>> sources = queries_.ask(querySources);
    std::vector<CaptureDevice> devices;
    if (!sources) return devices;
    for (const PulseSource& source : *sources) {
      if (!source.isMonitor && !source.name.empty()) devices.push_back(captureDeviceOf(source));
    }
    return devices;
  }

  PulseQueries queries_;
};

}  // namespace

std::unique_ptr<AudioHardware> makePulseAudioHardware() {
  return std::make_unique<PulseAudioHardware>(connectQuietly());
}

std::unique_ptr<CaptureDevices> makePulseCaptureDevices() {
  return makePulseCaptureDevices(connectQuietly());
}

std::unique_ptr<CaptureDevices> makePulseCaptureDevices(std::shared_ptr<PulseConnection> connection) {
  return std::make_unique<PulseCaptureDevices>(std::move(connection));
}

uint32_t transportTypeOf(const std::optional<std::string>& formFactor,
                         const std::optional<std::string>& bus) {
  // A headset's microphone switches it to its low-quality call profile: never
  // prefer it as the built-in one, whatever its form factor says.
  if (bus == "bluetooth") return kTransportTypeBluetooth;
  if (formFactor) {
    if (*formFactor == "internal") return kTransportTypeBuiltIn;
  } else if (bus == "pci") {
    return kTransportTypeBuiltIn;
  }
  if (bus == "usb") return kTransportTypeUSB;
  return 0;
}
