#pragma once

#include <cstdint>

#include "capture/sample_buffer.hpp"

// Leaves out of `buffer` its first frames, up to `skip` of them, and lowers
// `skip` by as many. A source that takes over a track delivers from the
// recording's start (silence up to its first data); the frames the track
// already holds are skipped so that its data lands where the time puts it.
void skipLeadingFrames(SampleBuffer& buffer, int64_t& skip);
