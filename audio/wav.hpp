#pragma once

// The audio file side of the tool: 16-bit PCM WAV reading (any channel
// count, averaged to mono), mono 16-bit writing, and the per-channel file
// names of a recording.

#include "audio/channel_path.hpp"
#include "audio/wav_reader.hpp"
#include "audio/wav_writer.hpp"
