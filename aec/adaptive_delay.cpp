// The one place where the adaptive canceller borrows from the default one:
// it follows the same delay track, so both cancellers agree on the delay.

#include "aec/adaptive_delay.hpp"

#include <cstdint>

#include "aec/echo_canceller.hpp"

std::optional<std::vector<DelaySeg>> adaptiveDelayTrack(std::span<const float> mic,
                                                        std::span<const float> reference,
                                                        double sampleRate) {
  std::unique_ptr<EchoCanceller> searcher = EchoCanceller::create();
  if (!searcher) return std::nullopt;
  return buildDelayTrack(static_cast<int64_t>(mic.size()), sampleRate,
                         [&](int64_t at, int64_t window, int64_t center, int64_t radius) {
                           return searcher->bestLag(mic, reference, at, window, center, radius);
                         });
}
