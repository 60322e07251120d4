#include "platform/pulse/pulse_sound_server.hpp"


#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/pulse/pulse_clock.hpp"
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
  void openSystem(std::function<void(SystemOpening)> completion) override {
    std::thread([link = link_, clock = clock_, completion = std::move(completion)] {
      completion(openMonitor(*link, clock));
    }).detach();
  }

  std::variant<std::shared_ptr<RecordSource>, std::string> openMicrophone(
      const std::string& sourceName) override {
    std::string error;
    std::shared_ptr<PulseConnection> connection = link_->get(&error);
    if (connection == nullptr) return error;
    std::optional<PulseSource> source = querySourceByName(*connection, sourceName, queryDeadline());
    if (!source) return queryFailureText(*connection);
    // At the source's own rate and channels: nothing is resampled or mixed on
    // the server's side, only the sample type converted.
    RecordTarget target{source->name, source->layout};
    return std::make_shared<PulseRecordSource>(std::move(connection), clock_, std::move(target));
  }

  // Made on first use, on the shared connection.
  CaptureDevices& devices() override {
    std::lock_guard<std::mutex> guard(devicesMutex_);
    if (devices_ == nullptr) devices_ = makePulseCaptureDevices(link_->get());
    return *devices_;
  }

 private:
  // The default sink is what the computer plays; a default that names no
  // existing sink counts as none.
  static SystemOpening openMonitor(PulseRecordLink& link,
                                   const std::shared_ptr<RecordingClock>& clock) {
    std::string error;
    std::shared_ptr<PulseConnection> connection = link.get(&error);
    if (connection == nullptr) return {nullptr, error};
    std::optional<PulseServerDefaults> defaults = queryServerDefaults(*connection, queryDeadline());
    if (!defaults) return {nullptr, queryFailureText(*connection)};
    if (defaults->sinkName.empty()) return {};
    std::optional<PulseSink> sink = querySinkByName(*connection, defaults->sinkName, queryDeadline());
    if (!sink || sink->monitorSourceName.empty()) return {};
    RecordTarget target{sink->monitorSourceName, PulseChannelLayout{kSystemRate, kSystemChannels, {}}};
    return {std::make_shared<PulseRecordSource>(std::move(connection), clock, std::move(target)),
            std::nullopt};
  }

  const std::shared_ptr<PulseRecordLink> link_ = std::make_shared<PulseRecordLink>();
  const std::shared_ptr<RecordingClock> clock_ = std::make_shared<RecordingClock>();
  std::mutex devicesMutex_;  // guards devices_
  std::unique_ptr<CaptureDevices> devices_;
};

}  // namespace

std::shared_ptr<SoundServer> makePulseSoundServer() { return std::make_shared<PulseSoundServer>(); }
