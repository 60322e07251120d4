#pragma once

#include <optional>
#include <string>

#include "devices/audio_hardware.hpp"

// Makes the output device with the given UID the default output. Returns
// nothing on success, else the failure line's message: the UID matches no
// device with output streams (exact, case-sensitive comparison), or the
// platform refused the change (its status in decimal).
std::optional<std::string> selectOutputDevice(AudioHardware& hardware, const std::string& uid);

// Runs selectOutputDevice and returns the exit status: 0 in silence on
// success, else 1 after the failure line with its message.
int setOutputDevice(AudioHardware& hardware, const std::string& uid);
