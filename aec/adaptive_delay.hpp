#pragma once

#include <optional>
#include <span>
#include <vector>

#include "aec/delay_track.hpp"

// The delay track of the default echo canceller (one phase-transform
// weighted cross-correlation per ten-second segment) for mic and reference
// at sampleRate; nothing when its transforms cannot be prepared.
std::optional<std::vector<DelaySeg>> adaptiveDelayTrack(std::span<const float> mic,
                                                        std::span<const float> reference,
                                                        double sampleRate);
