#include "platform/pulse/pulse_sound_server.hpp"


#include <chrono>
#include <mutex>
#include <utility>

#include "platform/pulse/pulse_clock.hpp"
#include "platform/pulse/pulse_device_events.hpp"
#include "platform/pulse/pulse_devices.hpp"
#include "platform/pulse/pulse_record_link.hpp"
#include "platform/pulse/pulse_record_source.hpp"

namespace {

constexpr std::chrono::milliseconds kQueryTimeout{3000};

// What the computer plays, as the system track keeps it.
constexpr uint32_t kSystemRate = 48000;
constexpr uint8_t kSystemChannels = 2;

PulseDeadline queryDeadline() { return PulseConnection::Clock::now() + kQueryTimeout; }

class PulseSoundServer final : public SoundServer {
 public:
  SystemOpening openSystem(const std::string& sinkName) override {
    std::string error;
    std::shared_ptr<PulseConnection> connection = link_->get(&error);
    if (connection == nullptr) return {nullptr, error, {}};
    std::string name = sinkName;
    if (name.empty()) {
      std::optional<PulseServerDefaults> defaults =
          queryServerDefaults(*connection, queryDeadline());
      if (!defaults) return {nullptr, queryFailureText(*connection), {}};
      name = defaults->sinkName;
    }
    // A default that names no existing sink counts as none.
    if (name.empty()) return {};
    std::optional<PulseSink> sink = querySinkByName(*connection, name, queryDeadline());
    if (!sink || sink->monitorSourceName.empty()) return {};
    RecordTarget target{sink->monitorSourceName, PulseChannelLayout{kSystemRate, kSystemChannels, {}}};
    return {std::make_shared<PulseRecordSource>(std::move(connection), clock_, std::move(target)),
            std::nullopt, SinkIdentity{sink->name, sink->description}};
  }

  std::optional<SinkIdentity> defaultSink() override {
    std::shared_ptr<PulseConnection> connection = link_->get();
    if (connection == nullptr) return std::nullopt;
    std::optional<PulseServerDefaults> defaults = queryServerDefaults(*connection, queryDeadline());
    if (!defaults || defaults->sinkName.empty()) return std::nullopt;
    std::optional<PulseSink> sink = querySinkByName(*connection, defaults->sinkName, queryDeadline());
    if (!sink) return std::nullopt;
    return SinkIdentity{sink->name, sink->description};
  }

  std::variant<std::shared_ptr<RecordSource>, std::string> openMicrophone(
      const std::string& sourceName, uint32_t rate) override {
    std::string error;
    std::shared_ptr<PulseConnection> connection = link_->get(&error);
    if (connection == nullptr) return error;
    std::optional<PulseSource> source = querySourceByName(*connection, sourceName, queryDeadline());
    if (!source) return queryFailureText(*connection);
    // At the source's own rate (unless told otherwise) and channels: nothing
    // is resampled or mixed on the server's side, only the sample type
    // converted.
    RecordTarget target{source->name, source->layout};
    if (rate != 0) target.layout.rate = rate;
    return std::make_shared<PulseRecordSource>(std::move(connection), clock_, std::move(target));
  }

  void watchDevices(std::function<void()> onChange) override {
    std::unique_ptr<PulseDeviceEvents> events =
        PulseDeviceEvents::subscribe(link_->get(), std::move(onChange));
    std::lock_guard<std::mutex> guard(eventsMutex_);
    if (events_ == nullptr) events_ = std::move(events);
  }

  // Made on first use, on the shared connection.
  CaptureDevices& devices() override {
    std::lock_guard<std::mutex> guard(devicesMutex_);
    if (devices_ == nullptr) devices_ = makePulseCaptureDevices(link_->get());
    return *devices_;
  }

 private:
  const std::shared_ptr<PulseRecordLink> link_ = std::make_shared<PulseRecordLink>();
  const std::shared_ptr<RecordingClock> clock_ = std::make_shared<RecordingClock>();
  std::mutex devicesMutex_;  // guards devices_
  std::unique_ptr<CaptureDevices> devices_;
  std::mutex eventsMutex_;  // guards events_
  std::unique_ptr<PulseDeviceEvents> events_;  // last: it goes first, before the connection
};

}  // namespace

std::shared_ptr<SoundServer> makePulseSoundServer() { return std::make_shared<PulseSoundServer>(); }
