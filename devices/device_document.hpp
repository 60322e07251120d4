#pragma once

#include <string>
#include <string_view>
#include <vector>

// One entry of a device list: the identifier the other modes accept and the
// name shown to people.
struct DeviceEntry {
  std::string id;
  std::string name;
};

// What is written when the document cannot be serialised: no devices, no
// default (27 bytes).
inline constexpr std::string_view kFallbackDeviceDocument = R"({"devices":[],"default":""})";

// The compact JSON document {"devices":[{"id":...,"name":...},...],
// "default":...}, without a line end; the fallback text when it cannot be
// serialised (text that is not valid UTF-8, say).
std::string deviceListDocument(const std::vector<DeviceEntry>& devices,
                               const std::string& defaultID);
