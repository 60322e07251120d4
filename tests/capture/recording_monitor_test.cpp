#include "capture/recording_monitor.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Source = RecordingMonitor::Source;

// Delivers `seconds` of a constant value in 10 ms buffers at 48 kHz, from `from`.
double deliver(RecordingMonitor& m, Source s, float value, double from, double seconds) {
  const std::vector<float> buffer(480, value);
  double t = from;
  for (int i = 0; i < static_cast<int>(seconds * 100.0 + 0.5); ++i, t += 0.01)
    m.onSamples(s, 48000.0, buffer, t);
  return t;
}

TEST(RecordingMonitor, SilentMicrophoneWarnsOnceAfterTenSecondsOfExactZeros) {
  RecordingMonitor m;
  double t = deliver(m, Source::mic, 0.0f, 0.0, 9.99);
  EXPECT_TRUE(m.dueWarnings(t, std::nullopt).empty());
  t = deliver(m, Source::mic, 0.0f, t, 0.01);
  EXPECT_EQ(m.dueWarnings(t, std::nullopt),
            std::vector<std::string>{"[WARN] microphone: only digital silence for 10 s — muted?"});
  t = deliver(m, Source::mic, 0.0f, t, 20.0);
  EXPECT_TRUE(m.dueWarnings(t, std::nullopt).empty());

  // A 30 s stop whose loss comes over as 20 s of zeros, then live sound:
  // no warning; zeros that go on after it are the microphone's again.
  RecordingMonitor stopped;
  t = deliver(stopped, Source::mic, 0.1f, 0.0, 1.0);
  stopped.processResumed(t, t + 30.0);
  deliver(stopped, Source::mic, 0.0f, t + 30.0, 20.0);  // stamped as it is read
  EXPECT_TRUE(stopped.dueWarnings(t + 30.1, std::nullopt).empty());
  const double live = deliver(stopped, Source::mic, 0.1f, t + 30.1, 1.0);
  EXPECT_TRUE(stopped.dueWarnings(live, std::nullopt).empty());
  t = deliver(stopped, Source::mic, 0.0f, live, 10.0);
  EXPECT_EQ(stopped.dueWarnings(t, std::nullopt).size(), 1u);

  // One quiet but non-zero sample starts the count again.
  RecordingMonitor quiet;
  t = deliver(quiet, Source::mic, 0.0f, 0.0, 9.0);
  t = deliver(quiet, Source::mic, 1e-6f, t, 0.01);
  t = deliver(quiet, Source::mic, 0.0f, t, 9.5);
  EXPECT_TRUE(quiet.dueWarnings(t, std::nullopt).empty());
}

TEST(RecordingMonitor, SourceThatStopsDeliveringWarnsOnceAfterTwoSeconds) {
  RecordingMonitor m;
  m.sourceStarted(Source::sys, 0.0);
  EXPECT_TRUE(m.dueWarnings(1.99, std::nullopt).empty());
  const double t = deliver(m, Source::sys, 0.1f, 1.99, 1.0);
  EXPECT_TRUE(m.dueWarnings(t + 1.9, std::nullopt).empty());
  EXPECT_EQ(m.dueWarnings(t + 2.0, std::nullopt),
            std::vector<std::string>{"[WARN] system audio: nothing delivered for 2 s"});
  EXPECT_TRUE(m.dueWarnings(t + 60.0, std::nullopt).empty());

  // The process, last seen running just after the last deliveries (at
  // u - 0.01), stopped for 30 s: the stop does not count, the time before it
  // does, and a delivery after it stands.
  RecordingMonitor stopped;
  const double u = deliver(stopped, Source::sys, 0.1f, 0.0, 1.0);
  deliver(stopped, Source::mic, 0.1f, 0.0, 1.0);
  stopped.processResumed(u, u + 30.0);
  deliver(stopped, Source::mic, 0.1f, u + 30.1, 0.1);
  EXPECT_TRUE(stopped.dueWarnings(u + 31.9, std::nullopt).empty());
  EXPECT_EQ(stopped.dueWarnings(u + 32.0, std::nullopt),
            std::vector<std::string>{"[WARN] system audio: nothing delivered for 2 s"});
  EXPECT_EQ(stopped.dueWarnings(u + 32.2, std::nullopt),
            std::vector<std::string>{"[WARN] microphone: nothing delivered for 2 s"});
  // A source that never started (its start-up already warned) is not watched.
  RecordingMonitor idle;
  EXPECT_TRUE(idle.dueWarnings(100.0, std::nullopt).empty());
}

TEST(RecordingMonitor, LowDiskWarnsBelowTenMinutesOfRecordingOnce) {
  // Both sources at 48 kHz: 4 bytes x 2 x 48000 of spool plus three 16-bit
  // files at 48000 Hz, 672,000 bytes a second, 403,200,000 in ten minutes.
  RecordingMonitor m;
  const double t = deliver(m, Source::sys, 0.1f, 0.0, 0.5);
  deliver(m, Source::mic, 0.1f, 0.0, 0.5);
  EXPECT_TRUE(m.dueWarnings(t, 403'200'000u).empty());
  const std::vector<std::string> due = m.dueWarnings(t, 403'199'999u);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0], "[WARN] disk: 403.2 MB free on the output's filesystem, less than 10 "
                    "minutes of recording");
  EXPECT_TRUE(m.dueWarnings(t, 1000u).empty());
}

TEST(RecordingMonitor, StatusShowsElapsedPeaksClipAndSpool) {
  RecordingMonitor m;
  m.sourceStarted(Source::mic, 0.0);
  double t = deliver(m, Source::sys, 0.5f, 64.0, 0.5);
  t = deliver(m, Source::sys, 1.0f, t, 0.01);
  const std::string first = m.statusText(65.2, 12'300'000u, 45'600'000'000u);
  EXPECT_EQ(first.rfind("\u25cf REC 0:01:05  sys ", 0), 0u) << first;
  EXPECT_NE(first.find("  0.0 dBFS CLIP"), std::string::npos) << first;
  EXPECT_NE(first.find("mic \u00b7\u00b7\u00b7"), std::string::npos) << first;
  EXPECT_NE(first.find(" -inf dBFS"), std::string::npos) << first;
  EXPECT_NE(first.find("spool 12.3 MB, 45.6 GB free"), std::string::npos) << first;

  // A new interval: the peak is the new one, and the clip mark goes after 1 s.
  deliver(m, Source::sys, 0.5f, 66.0, 0.5);
  const std::string second = m.statusText(66.6, 0u, std::nullopt);
  EXPECT_NE(second.find(" -6.0 dBFS     "), std::string::npos) << second;
  EXPECT_EQ(second.find("CLIP"), std::string::npos) << second;
}

}  // namespace
