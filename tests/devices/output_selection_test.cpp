// Choosing the default output, against a scripted audio hardware; the mode
// functions themselves are run in a child process (death tests) to see their
// exit statuses and both output streams.
#include "devices/output_selection.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "devices/device_document.hpp"
#include "devices/device_listing.hpp"
#include "scripted_devices.hpp"

namespace {

ScriptedAudioHardware twoSinksAndAMicrophone() {
  ScriptedAudioHardware hw;
  hw.devices = {
      {10, 0, std::string("mic"), std::string("Microphone"), 0},  // records only
      {11, 4, std::string("speakers"), std::string("Speakers"), 0},
      {12, 4, std::string("headphones"), std::string("Headphones"), 0},
  };
  hw.defaultDevice = 11;
  return hw;
}

TEST(SelectOutputDevice, SetsTheDeviceWithThatUid) {
  ScriptedAudioHardware hw = twoSinksAndAMicrophone();
  EXPECT_EQ(selectOutputDevice(hw, "headphones"), std::nullopt);
  EXPECT_EQ(hw.setCalls, std::vector<AudioDeviceID>{12});
}

TEST(SelectOutputDevice, UidsThatDoNotMatchExactlyAreNotFound) {
  for (const char* uid : {"mic", "Speakers", "SPEAKERS", "speakers ", " speakers", "speaker", ""}) {
    SCOPED_TRACE(uid);
    ScriptedAudioHardware hw = twoSinksAndAMicrophone();
    EXPECT_EQ(selectOutputDevice(hw, uid), "output device '" + std::string(uid) + "' not found");
    EXPECT_TRUE(hw.setCalls.empty());
  }
}

TEST(SelectOutputDevice, NoDevicesMeansNotFound) {
  ScriptedAudioHardware hw = twoSinksAndAMicrophone();
  hw.listFails = true;
  EXPECT_EQ(selectOutputDevice(hw, "speakers"), "output device 'speakers' not found");
  EXPECT_TRUE(hw.setCalls.empty());
}

TEST(SelectOutputDevice, PassesOverUnreadableDevicesAndTakesTheFirstMatch) {
  ScriptedAudioHardware hw;
  hw.devices = {
      {1, std::nullopt, std::string("dup"), std::string("Streams unreadable"), 0},
      {2, 4, std::nullopt, std::string("UID unreadable"), 0},
      {3, 4, std::string("dup"), std::nullopt, 0},  // its name does not matter here
      {4, 4, std::string("dup"), std::string("Second"), 0},
  };
  EXPECT_EQ(selectOutputDevice(hw, "dup"), std::nullopt);
  EXPECT_EQ(hw.setCalls, std::vector<AudioDeviceID>{3});
}

TEST(SelectOutputDevice, ARefusedChangeReportsTheStatusInDecimal) {
  struct Case {
    int32_t status;
    const char* text;
  };
  for (const Case& c : {Case{5, "5"}, Case{-50, "-50"},
                        Case{0x21646576, "560227702"},   // the code '!dev'
                        Case{INT32_MIN, "-2147483648"}}) {
    SCOPED_TRACE(c.text);
    ScriptedAudioHardware hw = twoSinksAndAMicrophone();
    hw.setStatus = c.status;
    EXPECT_EQ(selectOutputDevice(hw, "speakers"),
              "could not set default output device (status " + std::string(c.text) + ")");
  }
}

// Standard output of a death-test child goes to this file.
class ModeProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    char name[] = "/tmp/narup-devices-stdout-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override { std::remove(path_.c_str()); }

  void redirectStdout() const {
    int fd = open(path_.c_str(), O_WRONLY | O_TRUNC);
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
  std::string standardOutput() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string path_;
};

TEST_F(ModeProcess, EachModeExitsWithItsStatusAndPrintsOnlyItsDocument) {
  ScriptedAudioHardware hw = twoSinksAndAMicrophone();
  ScriptedAudioHardware refusing = twoSinksAndAMicrophone();
  refusing.setStatus = 3;
  ScriptedCaptureDevices none;
  ScriptedCaptureDevices unserialisable;
  unserialisable.discovered = {{"in", "bad \xC0 name", 0}};
  struct Case {
    const char* what;
    std::function<void()> mode;
    int status;
    const char* standardError;  // a pattern
    std::string standardOutput;
  };
  const Case cases[] = {
      {"set: success", [&] { setOutputDevice(hw, "speakers"); }, 0, "^$", ""},
      {"set: not found", [&] { setOutputDevice(hw, "Headphones"); }, 1,
       "^narup-capture \\[FAIL\\] output device 'Headphones' not found\n$", ""},
      {"set: refused", [&] { setOutputDevice(refusing, "headphones"); }, 1,
       "^narup-capture \\[FAIL\\] could not set default output device \\(status 3\\)\n$", ""},
      {"output list", [&] { listOutputDevices(hw); }, 0, "^$", outputDevicesDocument(hw)},
      {"input list, nothing readable", [&] { listInputDevices(none); }, 0, "^$",
       R"({"default":"","devices":[]})"},
      {"input list that cannot be written", [&] { listInputDevices(unserialisable); }, 0, "^$",
       std::string(kFallbackDeviceDocument)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(
        {
          redirectStdout();
          c.mode();
        },
        ::testing::ExitedWithCode(c.status), c.standardError);
    EXPECT_EQ(standardOutput(), c.standardOutput);
  }
}

}  // namespace
