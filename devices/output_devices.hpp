#pragma once

#include <string>
#include <vector>

#include "devices/audio_hardware.hpp"

// The hardware queries that the output-device list and the default-output
// selection share.

// Every device id in the platform's order; empty on any failure.
std::vector<AudioDeviceID> coreAudioAllDeviceIDs(AudioHardware& hardware);

// The UID of the default output device; empty on any failure.
std::string coreAudioDefaultOutputUID(AudioHardware& hardware);

// Whether the device has at least one output stream; a failed query counts as
// none.
bool hasOutputStreams(AudioHardware& hardware, AudioDeviceID device);
