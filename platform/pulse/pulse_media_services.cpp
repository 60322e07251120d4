#include "platform/pulse/pulse_media_services.hpp"

#include <memory>

#include "platform/pulse/pulse_clock.hpp"
#include "platform/pulse/pulse_mic_service.hpp"
#include "platform/pulse/pulse_record_link.hpp"
#include "platform/pulse/pulse_system_audio.hpp"

MediaServices makePulseMediaServices() {
  auto link = std::make_shared<PulseRecordLink>();
  auto clock = std::make_shared<RecordingClock>();
  MediaServices services;
  services.system = std::make_shared<PulseSystemAudioService>(link, clock);
  services.microphone = std::make_shared<PulseMicrophoneService>(link, clock);
  return services;
}
