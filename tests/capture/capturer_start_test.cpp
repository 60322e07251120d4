#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capture_fixture.hpp"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(CaptureTest, ConstructionAsksAndPrintsNothing) {
  StderrCapture err;
  make(true, true, std::string("x"), true);
  EXPECT_THAT(p.log.calls(), IsEmpty());
  EXPECT_EQ(err.text(), "");
}

TEST_F(CaptureTest, NoSourceSelectedFailsBeforeAnyPlatformCall) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  make(false, false);
  // A permission query that printed would show before the failure line.
  p.microphone->script.authorization = kAuthorizationDenied;
  EXPECT_EXIT(cap->start(), ::testing::ExitedWithCode(1),
              "^narup-capture \\[FAIL\\] no sources selected\n$");
  EXPECT_THAT(p.log.calls(), IsEmpty());
}

// ---- Permission gate -------------------------------------------------------

TEST_F(CaptureTest, AuthorisedMicrophoneIsConfiguredInsideStartOnTheCallingThread) {
  StderrCapture err;
  make(false, true);
  cap->start();
  // No settling: the session already runs when start() returns.
  EXPECT_TRUE(p.microphone->running());
  EXPECT_EQ(p.microphone->startThread(), std::this_thread::get_id());
  EXPECT_FALSE(p.log.has("requestAccess"));
  EXPECT_THAT(err.lines(), ElementsAre(line("default mic → built-in (Built-in Mic) to avoid Bluetooth HFP downgrade"),
                                       line("mic capture started: Built-in Mic")));
}

TEST_F(CaptureTest, PendingPermissionConfiguresOnlyAfterAGrantingAnswer) {
  StderrCapture err;
  p.microphone->script.authorization = kAuthorizationNotDetermined;
  p.microphone->script.accessAnswer.reset();  // held until answered
  make(false, true);
  cap->start();
  settle();
  EXPECT_TRUE(p.microphone->accessPending());
  EXPECT_FALSE(p.log.has("createSession"));
  EXPECT_EQ(err.text(), "");

  p.microphone->answerAccess(true);
  settle();
  EXPECT_TRUE(p.microphone->running());
  // configureMic ran on the answer's platform thread.
  EXPECT_NE(p.microphone->startThread(), std::this_thread::get_id());
  EXPECT_EQ(err.lines().back(), line("mic capture started: Built-in Mic"));
}

TEST_F(CaptureTest, RefusedPermissionWarnsAndTheSystemSourceStillStarts) {
  StderrCapture err;
  p.microphone->script.authorization = kAuthorizationNotDetermined;
  p.microphone->script.accessAnswer = false;
  make(true, true);
  cap->start();
  settle();
  EXPECT_FALSE(p.log.has("createSession"));
  EXPECT_TRUE(p.log.has("startCapture"));
  std::vector<std::string> lines = err.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), line("[WARN] microphone permission denied")), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), line("system capture started")), 1);
  EXPECT_EQ(lines.size(), 2u);
}

TEST_F(CaptureTest, RestrictedOrDeniedMicrophoneIsOneWarningWithItsNumber) {
  for (int status : {kAuthorizationRestricted, kAuthorizationDenied}) {
    SCOPED_TRACE(status);
    scripted::ScriptedPlatform fresh;
    fresh.microphone->script.authorization = status;
    fresh.system->script.contentError = "off";  // keep the system side to one known line
    StderrCapture err;
    auto c = Capturer::create(outPath, true, true, std::nullopt, false, fresh.services(),
                              exits.function());
    c->start();
    fresh.platform.join();
    EXPECT_FALSE(fresh.log.has("requestAccess"));
    EXPECT_FALSE(fresh.log.has("createSession"));
    EXPECT_TRUE(fresh.log.has("getShareableContent"));
    EXPECT_THAT(err.lines(),
                ElementsAre(line("[WARN] microphone access not authorized (status " +
                                 std::to_string(status) + ")"),
                            line("[WARN] shareable content: off — system audio disabled.")));
  }
}

TEST_F(CaptureTest, MicrophoneIsSetInMotionBeforeTheSystemSource) {
  p.microphone->script.authorization = kAuthorizationNotDetermined;
  p.microphone->script.accessAnswer.reset();
  make(true, true);
  cap->start();
  settle();
  EXPECT_LT(p.log.indexOf("requestAccess"), p.log.indexOf("getShareableContent"));

  scripted::ScriptedPlatform authorised;
  authorised.microphone->script.discovered = {builtIn};
  auto c = Capturer::create(outPath, true, true, std::nullopt, false, authorised.services(),
                            exits.function());
  c->start();
  authorised.platform.join();
  ASSERT_GE(authorised.log.indexOf("startRunning"), 0);
  EXPECT_LT(authorised.log.indexOf("startRunning"), authorised.log.indexOf("getShareableContent"));
}

// ---- System source ---------------------------------------------------------

TEST_F(CaptureTest, SystemStartUpFailuresAreOneWarningEach) {
  struct Case {
    const char* name;
    std::function<void(scripted::SystemScript&)> script;
    std::vector<std::string> lines;
    bool streamCreated;
    bool started;
  };
  std::vector<Case> cases{
      {"content error", [](auto& s) { s.contentError = "The user declined TCCs"; },
       {line("[WARN] shareable content: The user declined TCCs — system audio disabled.")}, false,
       false},
      {"no content", [](auto& s) { s.contentAbsent = true; },
       {line("[WARN] no display; system audio disabled")}, false, false},
      {"no display", [](auto& s) { s.displays.clear(); },
       {line("[WARN] no display; system audio disabled")}, false, false},
      {"output not added", [](auto& s) { s.addOutputError = "queue busy"; },
       {line("[WARN] addStreamOutput: queue busy")}, true, false},
      {"start refused", [](auto& s) { s.startError = "Connection refused"; },
       {line("[WARN] startCapture: Connection refused")}, true, true},
      {"started", [](auto&) {}, {line("system capture started")}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scripted::ScriptedPlatform fresh;
    c.script(fresh.system->script);
    StderrCapture err;
    auto capturer = Capturer::create(outPath, true, false, std::nullopt, false, fresh.services(),
                                     exits.function());
    capturer->start();
    fresh.platform.join();
    EXPECT_EQ(err.lines(), c.lines);
    EXPECT_EQ(fresh.log.has("createStream(speakers)"), c.streamCreated);
    EXPECT_EQ(fresh.log.has("startCapture"), c.started);
    EXPECT_FALSE(fresh.log.has("addStreamOutput(screen)"));
  }
}

TEST_F(CaptureTest, SystemStreamIsConfiguredForAudioOfTheFirstDisplay) {
  p.system->script.displays = {Display{"first"}, Display{"second"}};
  make(true, false);
  cap->start();
  settle();
  EXPECT_TRUE(p.log.has("createStream(first)"));
  SystemStreamConfiguration c = p.system->configuration();
  EXPECT_TRUE(c.capturesAudio);
  EXPECT_TRUE(c.excludesCurrentProcessAudio);
  EXPECT_EQ(c.sampleRate, 48000);
  EXPECT_EQ(c.channelCount, 2);
  EXPECT_EQ(c.width, 2);
  EXPECT_EQ(c.height, 2);
  EXPECT_EQ(c.minimumFrameIntervalSeconds, 1.0);
  EXPECT_EQ(p.log.calls(), (std::vector<std::string>{"getShareableContent", "createStream(first)",
                                                     "addStreamOutput(audio)", "startCapture"}));
}

TEST_F(CaptureTest, StreamStoppingOnItsOwnWarnsAndRecordingGoesOn) {
  make(true, false);
  cap->start();
  settle();
  deliverSys(*stream(), 48000, std::vector<float>(960, 0.25f));
  StderrCapture err;
  stream()->stopOnItsOwn("server went away");
  settle();
  EXPECT_EQ(err.lines(), std::vector<std::string>{line("[WARN] system stream stopped: server went away")});
  EXPECT_TRUE(exits.statuses().empty());  // not a finish

  // What was gathered is still written by the finish, which still asks the
  // stream to stop.
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  EXPECT_TRUE(p.log.has("stopCapture"));
  EXPECT_NE(err.text().find("sys: 960 frames"), std::string::npos);
}

// ---- Microphone source -----------------------------------------------------

TEST_F(CaptureTest, MicrophoneChoiceAndItsLines) {
  struct Case {
    const char* name;
    std::optional<std::string> uid;
    bool builtInPresent;
    bool anyDevice;
    std::vector<std::string> lines;
    std::string device;  // the one the session runs on; empty: none runs
  };
  const std::string choice = line("default mic → built-in (Built-in Mic) to avoid Bluetooth HFP downgrade");
  std::vector<Case> cases{
      {"built-in preferred over the default headset", std::nullopt, true, true,
       {choice, line("mic capture started: Built-in Mic")}, "builtin-mic"},
      {"no built-in: the system default, no choice line", std::nullopt, false, true,
       {line("mic capture started: Headset")}, "bt-headset"},
      {"identifier of an existing device", std::string("bt-headset"), true, true,
       {line("mic capture started: Headset")}, "bt-headset"},
      {"empty identifier is no identifier", std::string(""), true, true,
       {choice, line("mic capture started: Built-in Mic")}, "builtin-mic"},
      {"unknown identifier: choice, warning, then the default",
       std::string("usb-9"), true, true,
       {choice, line("[WARN] mic device 'usb-9' not found; using default"),
        line("mic capture started: Built-in Mic")},
       "builtin-mic"},
      {"unknown identifier and no device at all", std::string("usb-9"), false, false,
       {line("[WARN] mic device 'usb-9' not found; using default"),
        line("[WARN] no microphone device available")},
       ""},
      {"no device at all", std::nullopt, false, false,
       {line("[WARN] no microphone device available")}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scripted::ScriptedPlatform fresh;
    scripted::MicScript& s = fresh.microphone->script;
    if (c.anyDevice) {
      s.all = c.builtInPresent ? std::vector{headset, builtIn} : std::vector{headset};
      s.discovered = s.all;
      s.defaultInput = headset;
    }
    StderrCapture err;
    auto capturer = Capturer::create(outPath, false, true, c.uid, false, fresh.services(),
                                     exits.function());
    capturer->start();
    EXPECT_EQ(err.lines(), c.lines);
    EXPECT_EQ(fresh.microphone->running(), !c.device.empty());
    if (!c.device.empty()) {
      EXPECT_EQ(fresh.microphone->runningDevice(), c.device);
    } else {
      EXPECT_FALSE(fresh.log.has("createSession"));
    }
  }
}

TEST_F(CaptureTest, MicrophoneSessionFailuresLeaveItUnstarted) {
  struct Case {
    const char* name;
    std::function<void(scripted::MicScript&)> script;
    std::string warning;
  };
  std::vector<Case> cases{
      {"input", [](auto& s) { s.inputError = "The device is in use"; },
       line("[WARN] mic input: The device is in use")},
      {"add input", [](auto& s) { s.canAddInput = false; }, line("[WARN] cannot add mic input")},
      {"add output", [](auto& s) { s.canAddOutput = false; }, line("[WARN] cannot add mic output")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scripted::ScriptedPlatform fresh;
    fresh.microphone->script.discovered = {headset};
    fresh.microphone->script.all = {headset};
    c.script(fresh.microphone->script);
    StderrCapture err;
    auto capturer = Capturer::create(outPath, false, true, std::string("bt-headset"), false,
                                     fresh.services(), exits.function());
    capturer->start();
    EXPECT_EQ(err.lines(), std::vector<std::string>{c.warning});
    EXPECT_FALSE(fresh.log.has("startRunning"));
    // No session was kept, so the finish stops nothing on this side.
    capturer->finishAndExit();
    EXPECT_FALSE(fresh.log.has("stopRunning"));
    EXPECT_EQ(exits.statuses().back(), 0);
  }
}

// ---- Sample callbacks ------------------------------------------------------

TEST_F(CaptureTest, UnusableBuffersAreIgnoredWithoutALine) {
  make(true, false);
  cap->start();
  settle();
  StderrCapture err;
  auto invalid = std::make_shared<PcmSampleBuffer>(scripted::floatFormat(48000, 1),
                                                   std::vector{scripted::planeOf(std::vector<float>(10, 1))}, 10);
  invalid->setValid(false);
  auto noFormat = std::make_shared<PcmSampleBuffer>(scripted::floatFormat(48000, 1),
                                                    std::vector{scripted::planeOf(std::vector<float>(10, 1))}, 10);
  noFormat->clearFormat();
  auto noSamples = std::make_shared<PcmSampleBuffer>(scripted::floatFormat(48000, 1),
                                                     std::vector{scripted::planeOf(std::vector<float>(10, 1))}, 0);
  stream()->deliver(scripted::monoFloat(48000, 10, 1.0f), StreamOutputType::screen);
  stream()->deliver(invalid);
  stream()->deliver(noFormat);
  stream()->deliver(noSamples);
  stream()->flush();
  EXPECT_EQ(err.text(), "");  // not even the format line
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  EXPECT_NE(err.text().find("sys: 0 frames, peak 0.000, clip 0.0%"), std::string::npos);
}

TEST_F(CaptureTest, FormatLineOncePerSourceEvenWhenTheFirstConversionFails) {
  make(true, true);
  cap->start();
  settle();
  StderrCapture err;
  StreamFormat int24{44100, kFormatFlagIsSignedInteger, 1, 24};
  auto unsupported = std::make_shared<PcmSampleBuffer>(
      int24, std::vector{scripted::planeOf(std::vector<uint8_t>(30, 0))}, 10);
  ASSERT_TRUE(p.microphone->deliver(unsupported));
  deliverMic(44100, std::vector<float>(441, 0.5f));
  ASSERT_TRUE(p.microphone->deliver(unsupported));
  stream()->deliver(scripted::interleavedFloat(48000, 2, std::vector<float>(960, 0.5f)));
  deliverSys(*stream(), 48000, std::vector<float>(480, 0.5f));
  const std::string warn = line("[WARN] mic: unsupported PCM (float=false int=true bits=24) — skipping");
  EXPECT_EQ(err.lines(),
            (std::vector<std::string>{
                line("format[mic]: 44100Hz ch=1 bits=24 float=false int=true planar=false"), warn,
                warn, line("format[system]: 48000Hz ch=2 bits=32 float=true int=false planar=false")}));
}

TEST_F(CaptureTest, RateChangeMidRecordingKeepsTheLastRateForTheWholeTrack) {
  make(true, true);
  cap->start();
  settle();
  deliverSys(*stream(), 48000, std::vector<float>(4800, 0.1f));
  deliverMic(44100, std::vector<float>(4410, 0.1f));
  deliverMic(48000, std::vector<float>(4800, 0.1f));  // the device switched rates
  StderrCapture err;
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  const std::string out = err.text();
  EXPECT_EQ(out.find("resampling"), std::string::npos);  // 48000 against 48000
  EXPECT_NE(out.find("mic: 9210 frames"), std::string::npos);
}

TEST_F(CaptureTest, UnsupportedSystemBuffersLeaveItsRateUnset) {
  make(true, true);
  cap->start();
  settle();
  StreamFormat int24{96000, kFormatFlagIsSignedInteger, 1, 24};
  StderrCapture err;
  stream()->deliver(std::make_shared<PcmSampleBuffer>(
      int24, std::vector{scripted::planeOf(std::vector<uint8_t>(30, 0))}, 10));
  stream()->flush();
  deliverMic(44100, std::vector<float>(4410, 0.2f));
  cap->finishAndExit();
  ASSERT_TRUE(exits.waitFor(1));
  // The system track is empty, so the microphone's rate is the file's.
  EXPECT_NE(err.text().find("wrote 4410 frames @ 44100Hz → " + outPath), std::string::npos);
}

}  // namespace
