#pragma once

#include <cstddef>
#include <memory>

#include "audio/pending_file.hpp"
#include "audio/track_writer.hpp"

// A FLAC file of 16-bit mono samples, encoded as they are written into
// `file`. Nothing when FLAC cannot describe the rate (errno is EINVAL) or
// the encoder cannot be set up.
std::unique_ptr<TrackWriter> beginFlac(PendingFile file, std::size_t frames, double sampleRate);
