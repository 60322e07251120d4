#pragma once

#include <memory>

#include "capture/sound_server.hpp"

// The PulseAudio-protocol sound server (PulseAudio, or PipeWire through
// pipewire-pulse) as a recording sees it. The system source is the monitor
// of a sink (the default one unless named), recorded as 32-bit float, 2 channels, 48000 Hz; a
// microphone is a source that is not a monitor, recorded as 32-bit float at
// its own rate and channels (the server converts the sample type, whatever it
// is). Both share one connection, made when a source first needs it
// (never spawning a server, every wait bounded), and one recording clock,
// started by the first source to start, so that both tracks share one time
// axis. Device changes come from the server's subscription notices on the
// shared connection.
std::shared_ptr<SoundServer> makePulseSoundServer();
