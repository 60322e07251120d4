#pragma once

// The audio file side of the tool: 16-bit PCM WAV reading (any channel
// count, averaged to mono; RIFF, RF64 or BW64), mono 16-bit writing (RF64
// once a file passes what the 44-byte header holds), and the per-channel
// file names of a recording.

#include "audio/channel_path.hpp"
#include "audio/wav_reader.hpp"
#include "audio/wav_writer.hpp"
