// The transport type of a source from its properties: what the built-in
// preference of the microphone choice rests on. (The lists themselves, with
// and without a server, are end-to-end tests.)
#include "platform/pulse/pulse_devices.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

TEST(PulseTransportType, BuiltInFromFormFactorOrElseBusAndNeverBluetooth) {
  constexpr uint32_t kBluetooth = 0x626C7565, kUsb = 0x75736220, kBuiltIn = kTransportTypeBuiltIn;
  using Text = std::optional<std::string>;
  const std::tuple<Text, Text, uint32_t> cases[] = {
      {"internal", "pci", kBuiltIn},      {"internal", {}, kBuiltIn},   {"internal", "usb", kBuiltIn},
      {{}, "pci", kBuiltIn},              {"webcam", "pci", 0},         {"headset", "usb", kUsb},
      {"internal", "bluetooth", kBluetooth}, {{}, "bluetooth", kBluetooth}, {"Internal", {}, 0},
      {{}, {}, 0}};
  for (const auto& [formFactor, bus, expected] : cases) {
    EXPECT_EQ(transportTypeOf(formFactor, bus), expected) << formFactor.value_or("-") << " " << bus.value_or("-");
  }
}

}  // namespace
