#include "devices/device_document.hpp"

#include <nlohmann/json.hpp>

std::string deviceListDocument(const std::vector<DeviceEntry>& devices,
                               const std::string& defaultID) {
  try {
    nlohmann::json list = nlohmann::json::array();
    for (const DeviceEntry& d : devices) {
      list.push_back({{"id", d.id}, {"name", d.name}});
    }
    nlohmann::json document = {{"devices", std::move(list)}, {"default", defaultID}};
    // Compact, UTF-8 as it stands (no \u escapes); a string that is not
    // valid UTF-8 makes dump() throw, which is the serialisation failure.
    return document.dump();
  } catch (const std::exception&) {
    return std::string(kFallbackDeviceDocument);
  }
}
