#pragma once

#include <cstdint>

#include "capture/sample_buffer.hpp"

// The server's sample formats as the capture code sees them: one table,
// pulse_sample_formats.cpp, names each pa_sample_format_t's counterpart in
// this machine's byte order and the stream format its buffers are described
// by (float and signed-integer bits, the width). Formats the capture code
// cannot read are described as they are (24-bit integers say 24 bits), so
// that it can name them.

// The same sample type in native byte order (swapping bytes loses nothing).
int nativeSampleFormat(int sampleFormat);

// The stream format of interleaved buffers of that sample type.
StreamFormat streamFormatOf(int sampleFormat, uint32_t rate, uint8_t channels);
