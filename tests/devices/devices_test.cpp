// The device documents and the output selection, against scripted devices.
#include <gtest/gtest.h>

#include <algorithm>

#include "devices/device_document.hpp"
#include "devices/device_listing.hpp"
#include "devices/output_selection.hpp"
#include "support/stderr_capture.hpp"

namespace {

struct ScriptedOutputDevice {
  AudioDeviceID id = 0;
  bool streams = false;                 // false also when the query fails
  std::optional<std::string> uid;       // nothing: the query fails
  std::optional<std::string> name;      // nothing: every query fails
  int nameFailures = 0;                 // name queries that fail before one answers
};

struct ScriptedAudioHardware : AudioHardware {
  std::vector<ScriptedOutputDevice> devices;
  bool listFails = false;
  std::optional<AudioDeviceID> defaultDevice;  // nothing: the query fails
  int32_t setStatus = 0;
  std::vector<AudioDeviceID> setCalls;
  std::vector<AudioDeviceID> allDeviceIDs() override {
    std::vector<AudioDeviceID> ids;
    for (const auto& d : devices) ids.push_back(d.id);
    return listFails ? std::vector<AudioDeviceID>() : ids;
  }
  bool hasOutputStreams(AudioDeviceID id) override { return find(id).streams; }
  std::optional<std::string> deviceUID(AudioDeviceID id) override { return find(id).uid; }
  std::optional<std::string> deviceName(AudioDeviceID id) override {
    return find(id).nameFailures-- > 0 ? std::nullopt : find(id).name;
  }
  std::optional<AudioDeviceID> defaultOutputDevice() override { return defaultDevice; }
  int32_t setDefaultOutputDevice(AudioDeviceID id) override {
    setCalls.push_back(id);
    return setStatus;
  }
  ScriptedOutputDevice& find(AudioDeviceID id) {
    return *std::find_if(devices.begin(), devices.end(), [id](const auto& d) { return d.id == id; });
  }
};

struct ScriptedCaptureDevices : CaptureDevices {
  std::vector<CaptureDevice> discovered, all;
  std::optional<CaptureDevice> defaultInput;
  std::vector<CaptureDevice> discoverDevices() override { return discovered; }
  std::vector<CaptureDevice> allDevices() override { return all; }
  std::optional<CaptureDevice> defaultDevice() override { return defaultInput; }
  std::optional<CaptureDevice> deviceWithUniqueID(const std::string&) override { return {}; }
};

TEST(DeviceDocument, CompactUtf8JsonWithoutLineEndElseTheFallback) {
  const std::string kFallback = R"({"devices":[],"default":""})";
  const std::pair<std::string, std::string> rows[] = {
      {deviceListDocument({{"a", "Speakers"}, {"b", "Desk"}}, "b"),
       R"({"default":"b","devices":[{"id":"a","name":"Speakers"},{"id":"b","name":"Desk"}]})"},
      {deviceListDocument({}, ""), R"({"default":"","devices":[]})"},
      {deviceListDocument({{"ok", "bad \xFF name"}}, "ok"), kFallback},  // not UTF-8
  };
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

TEST(OutputDevicesDocument, ListsReadableOutputDevicesInOrderWithTheDefault) {
  ScriptedAudioHardware hw;
  hw.devices = {{1, false, "mic", "Microphone"}, {2, false, "odd", "Streams unreadable"},
                {3, true, std::nullopt, "No UID"}, {4, true, "flaky", "Flaky", 1},  // named on the 2nd ask
                {5, true, "dead", "Dead", 2}, {7, true, "sink.b", "B"}, {6, true, "sink.a", "A"}};
  hw.defaultDevice = 6;
  EXPECT_EQ(outputDevicesDocument(hw), R"({"default":"sink.a","devices":[{"id":"flaky","name":"Flaky"},)"
                                       R"({"id":"sink.b","name":"B"},{"id":"sink.a","name":"A"}]})");
  hw.listFails = true;  // the default is still read
  EXPECT_EQ(outputDevicesDocument(hw), R"({"default":"sink.a","devices":[]})");
  hw.defaultDevice = 3;  // a default whose UID cannot be read
  EXPECT_EQ(outputDevicesDocument(hw), R"({"default":"","devices":[]})");
}

TEST(InputDevicesDocument, DiscoveredDevicesElseEveryDevice) {
  ScriptedCaptureDevices in;
  in.discovered = {{"pci.mic", "Built-in", 0}, {"usb.mic", "USB", 0}};
  in.all = {{"other", "Other", 0}};
  in.defaultInput = in.discovered[1];
  EXPECT_EQ(inputDevicesDocument(in), R"({"default":"usb.mic","devices":[{"id":"pci.mic","name":"Built-in"},)"
                                      R"({"id":"usb.mic","name":"USB"}]})");
  in.discovered.clear();
  in.defaultInput.reset();
  EXPECT_EQ(inputDevicesDocument(in), R"({"default":"","devices":[{"id":"other","name":"Other"}]})");
}

TEST(SetOutputDevice, SetsOnlyAnExactUidOfAnOutputDeviceAndSaysWhyNot) {
  const std::string kNot = "narup-capture [FAIL] output device '",
                    kRefused = "narup-capture [FAIL] could not set default output device (status ";
  const std::tuple<std::string, int32_t, std::vector<AudioDeviceID>, std::string> cases[] = {
      {"headphones", 0, {12}, ""},
      {"mic", 0, {}, kNot + "mic' not found\n"},  // records only
      {"Speakers", 0, {}, kNot + "Speakers' not found\n"},
      {"speakers", -50, {11}, kRefused + "-50)\n"},
      {"speakers", 0x21646576, {11}, kRefused + "560227702)\n"},  // the code '!dev'
  };
  for (const auto& [uid, status, set, line] : cases) {
    ScriptedAudioHardware hw;
    hw.devices = {{9, false, "headphones", "Streams unreadable"}, {10, false, "mic", "Mic"},
                  {11, true, "speakers", "Speakers"}, {12, true, "headphones", "Phones"}, {13, true, "headphones", "Too"}};
    hw.setStatus = status;
    StderrCapture err, out(STDOUT_FILENO);
    EXPECT_EQ(setOutputDevice(hw, uid), line.empty() ? 0 : 1);
    EXPECT_EQ(hw.setCalls, set);
    EXPECT_EQ(err.text(), line);
    EXPECT_EQ(out.text(), "");
  }
}

}  // namespace
