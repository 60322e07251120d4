// The sound server's device services where no server answers, and the
// mapping of source properties to transport types. Runs against a real
// server are end-to-end tests (tests/e2e/test_devices.py).
#include "platform/pulse/pulse_devices.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/pulse/pulse_connection.hpp"

namespace {

constexpr uint32_t kBluetooth = 0x626C7565;  // 'blue'
constexpr uint32_t kUsb = 0x75736220;        // 'usb '

std::optional<std::string> some(const char* s) { return std::string(s); }

TEST(PulseTransportType, BuiltInFromFormFactorOrElseBus) {
  struct Case {
    std::optional<std::string> formFactor, bus;
    uint32_t expected;
    const char* what;
  };
  const Case cases[] = {
      {some("internal"), some("pci"), kTransportTypeBuiltIn, "internal on pci"},
      {some("internal"), std::nullopt, kTransportTypeBuiltIn, "internal, no bus"},
      {some("internal"), some("usb"), kTransportTypeBuiltIn, "internal wins over usb"},
      {std::nullopt, some("pci"), kTransportTypeBuiltIn, "pci without form factor"},
      {some("webcam"), some("pci"), 0, "a form factor other than internal rules out pci"},
      {some("headset"), some("usb"), kUsb, "usb headset"},
      {std::nullopt, some("usb"), kUsb, "usb"},
      {some("internal"), some("bluetooth"), kBluetooth, "bluetooth is never built in"},
      {std::nullopt, some("bluetooth"), kBluetooth, "bluetooth"},
      {some("Internal"), std::nullopt, 0, "values are case-sensitive"},
      {std::nullopt, std::nullopt, 0, "virtual source"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(transportTypeOf(c.formFactor, c.bus), c.expected);
  }
}

TEST(PulseTransportType, CaptureDeviceTakesNameAndDescription) {
  PulseSource source;
  source.index = 4;
  source.name = "alsa_input.pci-0000_00_1f.3.analog-stereo";
  source.description = "Built-in Audio Analog Stereo";
  source.formFactor = "internal";
  CaptureDevice d = captureDeviceOf(source);
  EXPECT_EQ(d.uniqueID, source.name);
  EXPECT_EQ(d.localizedName, source.description);
  EXPECT_EQ(d.transportType, kTransportTypeBuiltIn);
}

// Points libpulse at a server address for one test and restores it after.
class ServerAddress : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("PULSE_SERVER")) saved_ = old;
    dir_ = "/tmp/narup-pulse-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
  }
  void TearDown() override {
    if (listener_ >= 0) close(listener_);
    ::unlink((dir_ + "/native").c_str());
    ::rmdir(dir_.c_str());
    if (saved_) {
      setenv("PULSE_SERVER", saved_->c_str(), 1);
    } else {
      unsetenv("PULSE_SERVER");
    }
  }
  void pointAt(const std::string& path) { setenv("PULSE_SERVER", ("unix:" + path).c_str(), 1); }

  // A socket that accepts connections and never says a word.
  std::string silentServer() {
    std::string path = dir_ + "/native";
    listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(listen(listener_, 4), 0);
    return path;
  }

  std::string dir_;
  std::optional<std::string> saved_;
  int listener_ = -1;
};

TEST_F(ServerAddress, WithoutServerEveryQueryFailsSilently) {
  pointAt(dir_ + "/nothing-here");
  ::testing::internal::CaptureStderr();
  std::unique_ptr<AudioHardware> hw = makePulseAudioHardware();
  EXPECT_TRUE(hw->allDeviceIDs().empty());
  EXPECT_EQ(hw->outputStreamsDataSize(0), std::nullopt);
  EXPECT_EQ(hw->deviceUID(0), std::nullopt);
  EXPECT_EQ(hw->deviceName(0), std::nullopt);
  EXPECT_EQ(hw->defaultOutputDevice(), std::nullopt);
  EXPECT_NE(hw->setDefaultOutputDevice(0), 0);
  std::unique_ptr<CaptureDevices> inputs = makePulseCaptureDevices();
  EXPECT_TRUE(inputs->discoverDevices().empty());
  EXPECT_TRUE(inputs->allDevices().empty());
  EXPECT_EQ(inputs->defaultDevice(), std::nullopt);
  EXPECT_EQ(inputs->deviceWithUniqueID("anything"), std::nullopt);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(ServerAddress, ConnectionRefusedIsReportedInLibpulseWords) {
  pointAt(dir_ + "/nothing-here");
  std::string error;
  EXPECT_EQ(PulseConnection::connect("test", std::chrono::milliseconds(2000), &error), nullptr);
  EXPECT_EQ(error, "Connection refused");
}

TEST_F(ServerAddress, AServerThatNeverAnswersIsGivenUpAtTheDeadline) {
  pointAt(silentServer());
  std::string error;
  // Without the deadline this would wait for the handshake for ever.
  EXPECT_EQ(PulseConnection::connect("test", std::chrono::milliseconds(300), &error), nullptr);
  EXPECT_EQ(error, "timeout");
}

}  // namespace
