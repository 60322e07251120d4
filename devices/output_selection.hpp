#pragma once

#include <optional>
#include <string>

#include "devices/audio_hardware.hpp"

// Makes the output device with the given UID the default output. Returns
// nothing on success, else the failure line's message: the UID matches no
// device with output streams (exact, case-sensitive comparison), or the
// platform refused the change (its status in decimal).
std::optional<std::string> selectOutputDevice(AudioHardware& hardware, const std::string& uid);

// Runs selectOutputDevice: exits 0 silently on success, else fails with its
// message (status 1).
[[noreturn]] void setOutputDevice(AudioHardware& hardware, const std::string& uid);
