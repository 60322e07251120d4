// The capturer following the devices: the system source moves to the default
// sink (one line, the old source stopped before the new one starts, the gap
// as silence), a sink that goes and comes back, no sink left, a pinned sink;
// a vanished microphone replaced at the first one's rate.
#include "audio/channel_path.hpp"
#include "audio/wav_reader.hpp"
#include "capture_fixture.hpp"

namespace {

using ::testing::ElementsAre;
using Strings = std::vector<std::string>;

class FollowTest : public CaptureTest {
 protected:
  // The calls made since the `from`th.
  Strings callsFrom(size_t from) {
    Strings all = calls();
    return Strings(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end());
  }
  void changeAndSettle(const std::function<void()>& edit) {
    server->change(edit);
    settle();
  }
  // A device goes as a server removes it: its state first, then the end of
  // the stream that recorded it, then the notice.
  void goes(const std::function<void()>& edit, scripted::Source& recorded) {
    {
      std::lock_guard<std::mutex> guard(server->shared.mutex);
      edit();
    }
    recorded.stopOnItsOwn("Entity killed");
    settle();
    changeAndSettle([] {});
  }
  void removeSink(const std::string& name, const std::string& nextDefault) {
    goes([&] {
      std::erase_if(server->sinks, [&](const SinkIdentity& s) { return s.name == name; });
      server->defaultSinkName = nextDefault;
    }, server->lastSystem());
  }
};

TEST_F(FollowTest, DefaultSinkChangeSwitchesWithOneLineAndTheGapIsSilence) {
  make(true, true);
  startAndSettle();
  deliver(*server->mic, 1440, 0.5f);
  deliver(*server->system, 480, 0.25f);
  const size_t before = calls().size();
  StderrCapture err;
  changeAndSettle([&] { server->defaultSinkName = "headset"; });
  EXPECT_THAT(err.lines(), ElementsAre(line("system audio → Headset")));
  EXPECT_THAT(callsFrom(before), ElementsAre("stop system", "open system headset", "start system 2"));

  // The new source delivers from the recording's start: the 480 frames the
  // track holds are left out (their value would show), 480 zeros remain.
  std::vector<float> next(1440, 0.0f);
  std::fill(next.begin(), next.begin() + 480, 0.9f);
  std::fill(next.begin() + 960, next.end(), 0.5f);
  server->lastSystem().deliver(bufferOf(48000, 1, next));
  server->lastSystem().flush();
  changeAndSettle([] {});  // a notice that changes nothing moves nothing
  EXPECT_EQ(callsFrom(before).size(), 3u);
  cap->finishAndExit();
  ASSERT_TRUE(waitForExit());
  std::optional<WavTrack> sys = readWav16(channelPath(outPath, "sys"));
  ASSERT_TRUE(sys.has_value());
  ASSERT_EQ(sys->samples.size(), 1440u);
  for (size_t i : {0u, 479u, 960u, 1439u}) EXPECT_GT(sys->samples[i], 0.2f) << i;
  for (size_t i : {480u, 959u}) EXPECT_EQ(sys->samples[i], 0.0f) << i;
}

TEST_F(FollowTest, ARemovedSinkIsLeftForTheNewDefaultAndOnlyNoSinkLeftWarns) {
  make(true, false);
  startAndSettle();
  StderrCapture err;
  // PipeWire's order: the stream ends, the sink leaves with no default named
  // yet (a notice of its own), and only then is another default named.
  goes([&] {
    std::erase_if(server->sinks, [](const SinkIdentity& s) { return s.name == "speakers"; });
    server->defaultSinkName.clear();
  }, server->lastSystem());
  changeAndSettle([&] { server->defaultSinkName = "headset"; });
  removeSink("headset", "");
  waitForLine(err, "Entity killed");
  changeAndSettle([&] {
    server->sinks.push_back({"headset", "Headset"});
    server->defaultSinkName = "headset";
  });
  server->lastSystem().stopOnItsOwn("Connection terminated");  // the server goes
  changeAndSettle([&] { server->sinks.clear(); });
  waitForLine(err, "Connection terminated");
  EXPECT_THAT(err.lines(), ElementsAre(line("system audio → Headset"),
                                       line("[WARN] system stream stopped: Entity killed"),
                                       line("system audio → Headset"),
                                       line("[WARN] system stream stopped: Connection terminated")));
  EXPECT_THAT(calls(), ElementsAre("open system", "start system", "stop system", "open system headset",
                                   "start system 2", "stop system 2", "open system headset", "start system 3"));
}

TEST_F(FollowTest, SystemDeviceIsPinnedAndAnUnknownOneFallsBackToTheFollowedDefault) {
  for (const std::string pin : {"headset", "nope"}) {
    SCOPED_TRACE(pin);
    server = std::make_shared<scripted::Server>();
    StderrCapture err;
    make(true, false);
    cap->pinSystemDevice(pin);
    startAndSettle();
    changeAndSettle([&] { server->defaultSinkName = pin == "headset" ? "speakers" : "headset"; });
    if (pin == "headset") {
      server->lastSystem().stopOnItsOwn("Entity killed");
      settle();
      EXPECT_THAT(calls(), ElementsAre("open system headset", "start system"));
      EXPECT_THAT(err.lines(), ElementsAre(line("system capture started"),
                                           line("[WARN] system stream stopped: Entity killed")));
    } else {
      EXPECT_THAT(calls(), ElementsAre("open system nope", "open system", "start system", "stop system",
                                       "open system headset", "start system 2"));
      EXPECT_THAT(err.lines(), ElementsAre(line("[WARN] system device 'nope' not found; using default"),
                                           line("system capture started"), line("system audio → Headset")));
    }
  }
}

TEST_F(FollowTest, AVanishedMicrophoneIsReplacedAtTheFirstRateAndANewOneIsTaken) {
  make(false, true);
  cap->start();
  server->mic->deliver(bufferOf(44100, 1, std::vector<float>(441, 0.5f)));
  server->mic->flush();
  const size_t before = calls().size();
  StderrCapture err;
  // The default source changing alone moves nothing.
  changeAndSettle([&] { server->defaultInput = CaptureDevice{"usb-mic", "USB Mic", 0}; });
  changeAndSettle([&] { server->defaultInput = server->inputs[0]; });
  EXPECT_TRUE(callsFrom(before).empty());
  goes([&] { server->inputs.pop_back(); }, server->lastMic());  // the built-in one
  changeAndSettle([&] { server->inputs.clear(), server->defaultInput.reset(); });
  changeAndSettle([&] { server->inputs = {{"usb-mic", "USB Mic", 0}}, server->defaultInput = server->inputs[0]; });
  EXPECT_THAT(err.lines(), ElementsAre(line("microphone → Headset"), line("[WARN] no microphone device available"),
                                       line("microphone → USB Mic")));
  EXPECT_THAT(callsFrom(before), ElementsAre("stop mic", "open mic bt-headset at 44100", "start mic 2",
                                             "stop mic 2", "open mic usb-mic at 44100", "start mic 3"));
}

}  // namespace
