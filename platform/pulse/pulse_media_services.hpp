#pragma once

#include "capture/media_services.hpp"

// The media services of a recording on the PulseAudio-protocol sound server
// (PulseAudio, or PipeWire through pipewire-pulse): the system audio is the
// monitor of the default sink, the microphone a source that is not a monitor.
// Both share one connection, made when a source first needs it (never
// spawning a server, every wait bounded), and one recording clock, started by
// the first source to start, so that both tracks sit on the same time axis.
MediaServices makePulseMediaServices();
