#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "capture/capture_devices.hpp"
#include "devices/audio_hardware.hpp"
#include "platform/pulse/pulse_server_queries.hpp"

class PulseConnection;

// The audio hardware and the capture devices on the sound server.
//
// Output devices are the server's sinks: the id is the sink's index (the
// server lists sinks in ascending index order), the UID its name, the name
// its description; every sink has output streams; the default output is the
// server's default sink; setting it is pa_context_set_default_sink, with 0
// for success and the libpulse error code otherwise.
//
// Capture devices are the sources that are not monitors of a sink: the
// unique id is the source's name, the name its description. The default
// input is the server's default source when that is such a source; a
// monitor as the server's default (a server without any microphone) gives
// no default, since recording it would record the computer's own output.
//
// Without a server (none runs, or it does not answer within a few seconds)
// every query fails at once: empty lists, no defaults, and a failing status.
// Nothing is ever printed.

// The sound server's output devices, on a connection of their own.
std::unique_ptr<AudioHardware> makePulseAudioHardware();

// The sound server's capture devices, on a connection of their own.
std::unique_ptr<CaptureDevices> makePulseCaptureDevices();

// The capture devices on a connection the caller already holds (null: no
// server); the result shares it. Like every object here, it is to be used
// by one thread at a time, never the connection's loop thread.
std::unique_ptr<CaptureDevices> makePulseCaptureDevices(std::shared_ptr<PulseConnection> connection);

// The transport type of a source from its device properties: built-in
// ('bltn') when device.form_factor is "internal", or, where that property is
// absent, when device.bus is "pci"; never for a Bluetooth device ('blue').
// USB devices are 'usb ', anything else 0 (unknown).
uint32_t transportTypeOf(const std::optional<std::string>& formFactor,
                         const std::optional<std::string>& bus);
