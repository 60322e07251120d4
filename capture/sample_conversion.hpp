#pragma once

#include <string_view>
#include <vector>

#include "capture/sample_buffer.hpp"

// Turns one captured buffer into mono 32-bit floats: 32-bit float or signed
// 16-bit PCM, interleaved or one plane per channel, averaged over the
// channels. `format` is that buffer's own stream format and `label` ("system"
// or "mic") names the source in warnings. Never fails towards the caller: an
// unusable buffer gives an empty result, some with a "[WARN] " line.
std::vector<float> extractMono(const SampleBuffer& buffer, const StreamFormat& format,
                               std::string_view label);

// The same conversion on a buffer list already in hand (no platform access).
// Warns only about an unsupported layout.
std::vector<float> convertToMono(const AudioBufferList& list, const StreamFormat& format,
                                 std::string_view label);

// Prints one line describing a stream format:
// "format[system]: 48000Hz ch=2 bits=32 float=true int=false planar=true".
void logFormat(const StreamFormat& format, std::string_view label);
