#pragma once

#include <string>

#include "capture/capture_devices.hpp"
#include "devices/audio_hardware.hpp"

// The two device lists: one JSON document on standard output, nothing on
// standard error, exit status 0 whatever could or could not be read.

// The document of the audio capture devices and the default input.
std::string inputDevicesDocument(CaptureDevices& devices);

// The document of the devices with output streams and the default output.
std::string outputDevicesDocument(AudioHardware& hardware);

// Prints the input document; the exit status, always 0.
int listInputDevices(CaptureDevices& devices);

// Prints the output document; the exit status, always 0.
int listOutputDevices(AudioHardware& hardware);
