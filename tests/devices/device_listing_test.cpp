// The two device documents, written against scripted device services.
#include "devices/device_listing.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "devices/device_document.hpp"
#include "scripted_devices.hpp"

namespace {

using nlohmann::json;

json ids(const json& document) {
  json out = json::array();
  for (const auto& d : document.at("devices")) out.push_back(d.at("id"));
  return out;
}

ScriptedOutputDevice outputDevice(AudioDeviceID id, std::string uid, std::string name) {
  return {id, 4, std::move(uid), std::move(name), 0};
}

TEST(DeviceDocument, IsCompactJsonWithoutLineEnd) {
  EXPECT_EQ(deviceListDocument({{"a", "Speakers"}, {"b", "Desk"}}, "b"),
            R"({"default":"b","devices":[{"id":"a","name":"Speakers"},{"id":"b","name":"Desk"}]})");
}

TEST(DeviceDocument, EmptyListAndDefaultAreStillADocument) {
  EXPECT_EQ(deviceListDocument({}, ""), R"({"default":"","devices":[]})");
}

TEST(DeviceDocument, NonAsciiNamesAreWrittenAsUtf8AndEscapesKept) {
  const std::string name = "K\xC3\xBC" "che \xE2\x86\x92 \"2\"\\";  // Küche → "2"\ .
  const std::string text = deviceListDocument({{"k", name}}, "");
  EXPECT_NE(text.find("K\xC3\xBC" "che \xE2\x86\x92"), std::string::npos) << text;
  EXPECT_EQ(json::parse(text).at("devices").at(0).at("name"), name);
}

TEST(DeviceDocument, TextThatIsNotUtf8GivesTheFallback) {
  EXPECT_EQ(kFallbackDeviceDocument.size(), 27u);
  EXPECT_EQ(deviceListDocument({{"ok", "bad \xFF name"}}, "ok"), kFallbackDeviceDocument);
  EXPECT_EQ(deviceListDocument({{"ok", "fine"}}, "cut \xE2\x86"), kFallbackDeviceDocument);
}

TEST(OutputDevicesDocument, ListsOutputDevicesInOrderWithTheDefault) {
  ScriptedAudioHardware hw;
  hw.devices = {outputDevice(7, "sink.b", "B"), outputDevice(3, "sink.a", "A")};
  hw.defaultDevice = 3;
  const json document = json::parse(outputDevicesDocument(hw));
  EXPECT_EQ(document.at("devices"),
            json::parse(R"([{"id":"sink.b","name":"B"},{"id":"sink.a","name":"A"}])"));
  EXPECT_EQ(document.at("default"), "sink.a");
}

TEST(OutputDevicesDocument, LeavesOutDevicesWithoutOutputStreamsOrUid) {
  ScriptedAudioHardware hw;
  ScriptedOutputDevice inputOnly = outputDevice(1, "mic", "Microphone");
  inputOnly.streamsSize = 0;
  ScriptedOutputDevice streamsUnreadable = outputDevice(2, "odd", "Odd");
  streamsUnreadable.streamsSize = std::nullopt;
  ScriptedOutputDevice noUid = outputDevice(3, "", "No UID");
  noUid.uid = std::nullopt;
  hw.devices = {inputOnly, streamsUnreadable, noUid, outputDevice(4, "out", "Out")};
  EXPECT_EQ(ids(json::parse(outputDevicesDocument(hw))), json::parse(R"(["out"])"));
}

TEST(OutputDevicesDocument, AsksForANameOnceMoreBeforeGivingTheDeviceUp) {
  ScriptedAudioHardware hw;
  ScriptedOutputDevice onceFailing = outputDevice(1, "flaky", "Flaky");
  onceFailing.nameFailures = 1;
  ScriptedOutputDevice twiceFailing = outputDevice(2, "dead", "Dead");
  twiceFailing.nameFailures = 2;
  hw.devices = {onceFailing, twiceFailing};
  const json document = json::parse(outputDevicesDocument(hw));
  EXPECT_EQ(document.at("devices"), json::parse(R"([{"id":"flaky","name":"Flaky"}])"));
  EXPECT_EQ(hw.nameCalls[1], 2);
  EXPECT_EQ(hw.nameCalls[2], 2);
}

TEST(OutputDevicesDocument, UnreadableDeviceListKeepsAReadableDefault) {
  ScriptedAudioHardware hw;
  hw.devices = {outputDevice(5, "speakers", "Speakers")};
  hw.listFails = true;
  hw.defaultDevice = 5;
  EXPECT_EQ(outputDevicesDocument(hw), R"({"default":"speakers","devices":[]})");
}

TEST(OutputDevicesDocument, UnreadableDefaultIsEmpty) {
  ScriptedAudioHardware hw;
  hw.devices = {outputDevice(5, "speakers", "Speakers")};
  SCOPED_TRACE("no default device");
  EXPECT_EQ(json::parse(outputDevicesDocument(hw)).at("default"), "");
  SCOPED_TRACE("the default device's UID cannot be read");
  hw.devices.push_back(outputDevice(6, "", "Nameless"));
  hw.devices.back().uid = std::nullopt;
  hw.defaultDevice = 6;
  const json document = json::parse(outputDevicesDocument(hw));
  EXPECT_EQ(document.at("default"), "");
  EXPECT_EQ(ids(document), json::parse(R"(["speakers"])"));
}

TEST(OutputDevicesDocument, ANameThatIsNotUtf8GivesTheFallback) {
  ScriptedAudioHardware hw;
  hw.devices = {outputDevice(1, "a", "A"), outputDevice(2, "b", "caf\xE9")};
  hw.defaultDevice = 1;
  EXPECT_EQ(outputDevicesDocument(hw), kFallbackDeviceDocument);
}

TEST(InputDevicesDocument, ListsDiscoveredDevicesAndTheDefault) {
  ScriptedCaptureDevices devices;
  devices.discovered = {{"alsa_input.pci", "Built-in", kTransportTypeBuiltIn},
                        {"usb.mic", "USB Mic", 0}};
  devices.all = {{"other", "Other", 0}};
  devices.defaultInput = devices.discovered[1];
  const json document = json::parse(inputDevicesDocument(devices));
  EXPECT_EQ(document.at("devices"),
            json::parse(R"([{"id":"alsa_input.pci","name":"Built-in"},)"
                        R"({"id":"usb.mic","name":"USB Mic"}])"));
  EXPECT_EQ(document.at("default"), "usb.mic");
  EXPECT_EQ(devices.allDevicesCalls, 0);
}

TEST(InputDevicesDocument, FallsBackToEveryDeviceWhenDiscoveryFindsNone) {
  ScriptedCaptureDevices devices;
  devices.all = {{"only", "The only one", 0}};
  const json document = json::parse(inputDevicesDocument(devices));
  EXPECT_EQ(document.at("devices"), json::parse(R"([{"id":"only","name":"The only one"}])"));
  EXPECT_EQ(document.at("default"), "");
}

}  // namespace
