#pragma once

// Scripted stand-ins for the audio hardware and the capture devices: each
// device and each query can be told to fail, and every query is counted.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_devices.hpp"
#include "devices/audio_hardware.hpp"

struct ScriptedOutputDevice {
  AudioDeviceID id = 0;
  std::optional<uint32_t> streamsSize = 4;  // nothing: the query fails
  std::optional<std::string> uid;           // nothing: the query fails
  std::optional<std::string> name;          // nothing: every query fails
  int nameFailures = 0;                     // name queries that fail before it answers
};

class ScriptedAudioHardware : public AudioHardware {
 public:
  std::vector<ScriptedOutputDevice> devices;
  bool listFails = false;
  std::optional<AudioDeviceID> defaultDevice;  // nothing: the query fails
  int32_t setStatus = 0;

  std::vector<AudioDeviceID> setCalls;
  std::map<AudioDeviceID, int> nameCalls;

  std::vector<AudioDeviceID> allDeviceIDs() override {
    std::vector<AudioDeviceID> ids;
    if (listFails) return ids;
    for (const auto& d : devices) ids.push_back(d.id);
    return ids;
  }
  std::optional<uint32_t> outputStreamsDataSize(AudioDeviceID id) override {
    const ScriptedOutputDevice* d = find(id);
    return d ? d->streamsSize : std::nullopt;
  }
  std::optional<std::string> deviceUID(AudioDeviceID id) override {
    const ScriptedOutputDevice* d = find(id);
    return d ? d->uid : std::nullopt;
  }
  std::optional<std::string> deviceName(AudioDeviceID id) override {
    ScriptedOutputDevice* d = find(id);
    int call = nameCalls[id]++;
    if (d == nullptr || call < d->nameFailures) return std::nullopt;
    return d->name;
  }
  std::optional<AudioDeviceID> defaultOutputDevice() override { return defaultDevice; }
  int32_t setDefaultOutputDevice(AudioDeviceID id) override {
    setCalls.push_back(id);
    return setStatus;
  }

 private:
  ScriptedOutputDevice* find(AudioDeviceID id) {
    for (auto& d : devices)
      if (d.id == id) return &d;
    return nullptr;
  }
};

class ScriptedCaptureDevices : public CaptureDevices {
 public:
  std::vector<CaptureDevice> discovered;
  std::vector<CaptureDevice> all;
  std::optional<CaptureDevice> defaultInput;
  int allDevicesCalls = 0;

  std::vector<CaptureDevice> discoverDevices() override { return discovered; }
  std::vector<CaptureDevice> allDevices() override {
    ++allDevicesCalls;
    return all;
  }
  std::optional<CaptureDevice> defaultDevice() override { return defaultInput; }
  std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uid) override {
    for (const auto& d : all)
      if (d.uniqueID == uid) return d;
    return std::nullopt;
  }
};
