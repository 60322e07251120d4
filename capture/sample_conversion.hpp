#pragma once

#include <string_view>
#include <vector>

#include "capture/sample_buffer.hpp"

// Turns one captured buffer into mono 32-bit floats: 32-bit float or signed
// 16-bit PCM, averaged over each frame's channels. `label` ("system" or
// "mic") names the source in warnings. Never fails towards the caller: an
// unusable buffer gives an empty result, an unsupported layout with a
// "[WARN] " line.
std::vector<float> extractMono(const SampleBuffer& buffer, std::string_view label);

// Prints one line describing a stream format:
// "format[system]: 48000Hz ch=2 bits=32 float=true int=false planar=false".
void logFormat(const StreamFormat& format, std::string_view label);
