// The capturer's start: which sources, in which order, with which lines, and
// what becomes of their buffers.
#include "capture_fixture.hpp"

namespace {

using ::testing::ElementsAre;
using Strings = std::vector<std::string>;

TEST_F(CaptureTest, NoSourceSelectedFailsBeforeAnyServerCall) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  make(false, false);
  EXPECT_EXIT(cap->start(), ::testing::ExitedWithCode(1),
              "^narup-capture \\[FAIL\\] no sources selected\n$");
  EXPECT_TRUE(calls().empty());
}

TEST_F(CaptureTest, MicrophoneRunsBeforeStartReturnsAndBeforeTheSystemIsOpened) {
  make(true, true);
  cap->start();
  cap->waitForDeviceFollowing();
  std::vector<std::string> first = calls();
  first.resize(3);  // the system's start may already have gone on
  EXPECT_THAT(first, ElementsAre("open mic builtin-mic", "start mic", "open system"));
}

TEST_F(CaptureTest, SystemStartUpGivesOneLine) {
  struct Case {
    std::optional<std::string> openError, startError;
    bool noDefaultSink;
    std::string line;
  } cases[] = {
      {"Connection refused", {}, false, "[WARN] shareable content: Connection refused — system audio disabled."},
      {{}, {}, true, "[WARN] no display; system audio disabled"},
      {{}, "Timeout", false, "[WARN] startCapture: Timeout"},
      {{}, {}, false, "system capture started"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    server = std::make_shared<scripted::Server>();
    server->systemError = c.openError;
    server->noDefaultSink = c.noDefaultSink;
    server->system->startError = c.startError;
    StderrCapture err;
    make(true, false);
    startAndSettle();
    EXPECT_THAT(err.lines(), ElementsAre(line(c.line)));
  }
}

TEST_F(CaptureTest, SystemSourceStoppingOnItsOwnWarnsAndTheRecordingGoesOn) {
  make(true, true);
  startAndSettle();
  deliver(*server->system, 480, 0.5f);
  StderrCapture err;
  server->system->stopOnItsOwn("Connection terminated");
  waitForLine(err, "Connection terminated");
  EXPECT_THAT(err.lines(), ElementsAre(line("[WARN] system stream stopped: Connection terminated")));
  deliver(*server->mic, 960, 0.5f);
  EXPECT_TRUE(exits.empty());
  cap->finishAndExit();
  ASSERT_TRUE(waitForExit());
  EXPECT_EQ(err.lines()[2], line("sys: 480 frames, peak 0.500, clip 0.0%"));
  EXPECT_EQ(err.lines()[3], line("mic: 960 frames, peak 0.500, clip 0.0%"));
}

TEST_F(CaptureTest, MicrophoneChoiceAndItsLines) {
  const std::string builtIn = "default mic → built-in (Built-in Mic) to avoid Bluetooth HFP downgrade";
  struct Case {
    std::optional<std::string> uid;
    bool withBuiltIn;
    std::string opened;
    Strings lines;
  } cases[] = {
      {{}, true, "builtin-mic", {builtIn, "mic capture started: Built-in Mic"}},
      {"", true, "builtin-mic", {builtIn, "mic capture started: Built-in Mic"}},
      {"usb-mic", true, "usb-mic", {"mic capture started: USB Mic"}},
      {"gone", true, "builtin-mic",
       {builtIn, "[WARN] mic device 'gone' not found; using default", "mic capture started: Built-in Mic"}},
      {{}, false, "bt-headset", {"mic capture started: Headset"}},
      {"gone", false, "",
       {"[WARN] mic device 'gone' not found; using default", "[WARN] no microphone device available"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uid.value_or("(none)") + (c.withBuiltIn ? " with built-in" : ""));
    server = std::make_shared<scripted::Server>();
    server->inputs = {{"bt-headset", "Headset", 0}, {"usb-mic", "USB Mic", 0}};
    if (c.withBuiltIn) server->inputs.push_back({"builtin-mic", "Built-in Mic", kTransportTypeBuiltIn});
    server->defaultInput = c.opened.empty() ? std::nullopt : std::optional(server->inputs[0]);
    StderrCapture err;
    make(false, true, c.uid);
    cap->start();
    Strings expected;
    for (const std::string& l : c.lines) expected.push_back(line(l));
    EXPECT_EQ(err.lines(), expected);
    EXPECT_EQ(calls().empty() ? "" : calls()[0], c.opened.empty() ? "" : "open mic " + c.opened);
  }
}

TEST_F(CaptureTest, MicrophoneThatFailsWarnsAndTheRecordingGoesOn) {
  server->micError = "No such entity";
  StderrCapture err;
  make(true, true);
  startAndSettle();
  EXPECT_EQ(err.lines()[1], line("[WARN] mic input: No such entity"));
  EXPECT_EQ(err.lines()[2], line("system capture started"));
  cap->finishAndExit();  // no microphone to stop
  ASSERT_TRUE(waitForExit());
  server->shared.join();  // the finish is over before its server goes
  EXPECT_THAT(calls(), ElementsAre("open mic builtin-mic", "open system", "start system", "stop system"));

  server = std::make_shared<scripted::Server>();
  server->inputs = {{"builtin-mic", "Built-in Mic", kTransportTypeBuiltIn}};
  server->mic->startError = "Timeout";
  StderrCapture again;
  make(false, true);
  cap->start();
  EXPECT_THAT(again.lines(), ElementsAre(line("default mic → built-in (Built-in Mic) to avoid Bluetooth HFP downgrade"),
                                         line("[WARN] mic stream: Timeout"), line("mic capture started: Built-in Mic")));
}

TEST_F(CaptureTest, FormatLineOncePerSourceAndTheLastConvertedRateHolds) {
  make(false, true);
  cap->start();
  StderrCapture err;
  SampleBuffer s24 = bufferOf(44100, 1, std::vector<int16_t>(3, 1));
  s24.format.bitsPerChannel = 24;
  server->mic->deliver(s24);
  server->mic->deliver(bufferOf(44100, 2, std::vector<int16_t>(200, 16384)));
  server->mic->deliver(bufferOf(32000, 1, std::vector<float>(100, 0.5f)));
  server->mic->deliver(bufferOf(96000, 1, std::vector<float>()));  // empty: ignored
  server->mic->deliver(s24);
  server->mic->flush();
  cap->finishAndExit();
  ASSERT_TRUE(waitForExit());
  const std::string unsupported = "[WARN] mic: unsupported PCM (float=false int=true bits=24) — skipping";
  EXPECT_THAT(err.lines(), ElementsAre(line("format[mic]: 44100Hz ch=1 bits=24 float=false int=true planar=false"),
                                       line(unsupported), line(unsupported), line("sys: 0 frames, peak 0.000, clip 0.0%"),
                                       line("mic: 200 frames, peak 0.500, clip 0.0%"),
                                       line("normalize: peak 0.5000 × gain 1.90 → 0.950"),
                                       line("wrote 200 frames @ 32000Hz → " + outPath)));
}

}  // namespace
