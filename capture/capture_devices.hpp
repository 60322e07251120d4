#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Transport type of a built-in device, the four-character code 'bltn'.
inline constexpr uint32_t kTransportTypeBuiltIn = 0x626C746E;

// A microphone of the sound server: the source's name is its unique id.
struct CaptureDevice {
  std::string uniqueID;
  std::string localizedName;
  uint32_t transportType = 0;
};

// The audio capture devices; shared by the input-device list and the
// microphone source. Every query may fail: an empty result.
class CaptureDevices {
 public:
  virtual ~CaptureDevices() = default;
  // Microphones and external devices, in the server's order.
  virtual std::vector<CaptureDevice> discoverDevices() = 0;
  // Every audio capture device.
  virtual std::vector<CaptureDevice> allDevices() = 0;
  // The server's default audio input, or none.
  virtual std::optional<CaptureDevice> defaultDevice() = 0;
  // The device with that identifier, or none.
  virtual std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) = 0;
};
