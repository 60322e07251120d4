#pragma once

#include <cstddef>
#include <memory>

#include "audio/pending_file.hpp"
#include "audio/track_writer.hpp"

// An Ogg Opus file, mono at about 48 kbit/s (variable), encoded as the
// samples are written into `file`; a track at another rate than 48 kHz is
// resampled to it by the encoder. Nothing when the encoder cannot take the
// rate (errno is EINVAL) or cannot be set up.
std::unique_ptr<TrackWriter> beginOpus(PendingFile file, double sampleRate);
