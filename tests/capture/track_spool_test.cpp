// The spool of one track: a valid float WAV on disk after every write, the
// disk's bytes exactly what was appended, a failing disk that loses nothing,
// and memory that stays flat however long the recording runs.
#include "capture/track_spool.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>

#include "audio/wav_test_support.hpp"
#include "capture/spool_paths.hpp"
#include "support/stderr_capture.hpp"

namespace {

using wavtest::fileBytes, wavtest::ScratchDir;

// A long write interval: in these tests the writes are the test's own.
constexpr SpoolTiming kManual{std::chrono::milliseconds(600000), std::chrono::milliseconds(0)};

std::vector<float> ramp(size_t n, float from) {
  std::vector<float> x(n, from);
  for (size_t i = 0; i < n; ++i) x[i] += 0.001f * static_cast<float>(i % 997);
  return x;
}

// The closed spool's whole track as a finish reads it, with its rate.
WavTrack readBack(TrackSpool& spool) {
  WavTrack track;
  track.rate = spool.rate();
  if (std::optional<JoinedTrackSource> source = spool.handOver()) {
    track.samples.resize(static_cast<size_t>(source->size()));
    source->read(0, source->size(), track.samples.data());
  }
  return track;
}

// What soxi says of `file` (its warnings included).
std::string soxi(const char* what, const std::filesystem::path& file) {
  std::string out(256, '\0');
  FILE* p = ::popen(("soxi " + std::string(what) + " '" + file.string() + "' 2>&1").c_str(), "r");
  out.resize(std::fread(out.data(), 1, out.size(), p));
  return ::pclose(p), out;
}

TEST(TrackSpool, FileIsAWholeFloatWavOfEverySampleAfterEveryWrite) {
  ScratchDir dir("spool");
  const auto path = dir / "rec.wav.spool" / "sys.wav";
  const bool haveSox = std::system("command -v soxi >/dev/null 2>&1") == 0;
  TrackSpool spool(path.string(), "sys", kManual);
  spool.flushNow();
  EXPECT_FALSE(std::filesystem::exists(path)) << "no buffer yet, no file";
  std::vector<float> appended;
  const std::pair<size_t, double> steps[] = {{480, 48000}, {1, 48000}, {4410, 44100}, {0, 44100}, {960, 48000.9}};
  for (const auto& [count, stepRate] : steps) {
    SCOPED_TRACE(std::to_string(count) + " samples at " + std::to_string(stepRate));
    const auto x = ramp(count, -0.5f + 0.1f * static_cast<float>(appended.size() % 7));
    spool.append(stepRate, x);
    appended.insert(appended.end(), x.begin(), x.end());
    spool.flushNow();
    const auto f = fileBytes(path);
    ASSERT_EQ(f.size(), 82 + 4 * appended.size());
    const auto n = static_cast<std::uint32_t>(appended.size()), rate = static_cast<std::uint32_t>(stepRate);
    wavtest::Bytes header;  // IEEE float, mono, the newest rate, 32 bits, an empty fmt extension
    header.str("RIFF").u32(74 + 4 * n).str("WAVEJUNK").u32(28);  // room for the ds64 chunk of RF64
    header.v.resize(header.v.size() + 28);
    header.str("fmt ").u32(18).u16(3).u16(1).u32(rate).u32(4 * rate);
    header.u16(4).u16(32).u16(0).str("data").u32(4 * n);
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin(), f.begin() + 82), header.v);
    // What a kill right now would leave: every sample appended, bit for bit.
    EXPECT_EQ(std::memcmp(f.data() + 82, appended.data(), 4 * appended.size()), 0);
    if (haveSox) {
      EXPECT_EQ(soxi("-s", path), std::to_string(n) + "\n");
      EXPECT_EQ(soxi("-e", path), "Floating Point PCM\n");
    }
  }
  spool.close();
  spool.append(48000, ramp(100, 0.0f));  // after the close: not part of the track
  const auto back = readBack(spool);
  EXPECT_EQ(back.samples, appended);
  EXPECT_EQ(back.rate, 48000.9);
}

TEST(TrackSpool, TheWriterPutsSamplesOnDiskWithoutBeingAsked) {
  ScratchDir dir("spool-writer");
  TrackSpool spool((dir / "sys.wav").string(), "sys");
  spool.append(48000, ramp(4800, 0.0f));
  for (int i = 0; i < 100 && fileBytes(dir / "sys.wav").size() < 82 + 4 * 4800; ++i) ::usleep(100000);  // ten seconds at most
  EXPECT_EQ(fileBytes(dir / "sys.wav").size(), 82u + 4 * 4800);
}

TEST(TrackSpool, AFailingDiskWarnsOnceAndLosesNoSample) {
  ScratchDir dir("spool-fail");
  struct Case {
    const char *why, *reason;
    std::string path;
    rlim_t fileSizeLimit;  // RLIM_INFINITY: none
  } const cases[] = {
      {"a full disk", "No space left on device", "/dev/full", RLIM_INFINITY},
      {"no folder", "No such file or directory", (dir / "gone" / "x.spool" / "mic.wav").string(), RLIM_INFINITY},
      {"a file that stops growing part-way", "File too large", (dir / "cut.spool/mic.wav").string(), 82 + 4 * 1000},
  };
  ::signal(SIGXFSZ, SIG_IGN);  // the size limit answers with an error, not a signal
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    rlimit saved{}, limited{c.fileSizeLimit, 0};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    limited.rlim_max = saved.rlim_max;
    std::vector<float> appended;
    StderrCapture capture;
    ::setrlimit(RLIMIT_FSIZE, &limited);
    TrackSpool spool(c.path, "mic", kManual);
    for (int i = 0; i < 5; ++i, spool.flushNow()) {
      const auto x = ramp(600, 0.1f * static_cast<float>(i));
      spool.append(16000, x);
      appended.insert(appended.end(), x.begin(), x.end());
    }
    spool.close();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    const auto back = readBack(spool);
    EXPECT_EQ(back.samples, appended);
    EXPECT_EQ(back.rate, 16000.0);
    EXPECT_EQ(capture.text(), std::string("narup-capture: [WARN] spool mic: ") + c.reason + " — recording goes on in memory\n");
  }
  ::signal(SIGXFSZ, SIG_DFL);
}

// A folder that goes away sends the track on to the fallback folder in a
// new part, and it comes home once the folder can be made again; every part
// holds whole writes only, and the parts joined are the track.
TEST(TrackSpool, AFolderThatFailsSendsTheTrackToTheFallbackAndBack) {
  ScratchDir dir("spool-fallback");
  const auto home = dir / "gone" / "x.spool";
  const auto fallback = dir / "state" / "deep" / "x.spool";
  SpoolTiming timing = kManual;
  timing.retryEvery = std::chrono::milliseconds(0);
  std::vector<float> appended;
  StderrCapture capture;
  TrackSpool spool((home / "sys.wav").string(), "sys", timing, {fallback.string()});
  const auto step = [&](size_t n) {
    const auto x = ramp(n, 0.01f * static_cast<float>(appended.size() % 13));
    spool.append(48000, x);
    appended.insert(appended.end(), x.begin(), x.end());
    spool.flushNow();
  };
  step(500);  // "gone" is missing: the first part is made in the fallback folder
  step(300);
  std::filesystem::create_directory(dir / "gone");
  step(700);  // home again: a second part beside the output
  step(100);
  spool.close();
  EXPECT_EQ(capture.text(), "narup-capture: [WARN] spool sys: No such file or directory — recording goes on in " +
                                fallback.string() + "\nnarup-capture: spool sys: recording goes on in " +
                                home.string() + "\n");
  EXPECT_EQ(fileBytes(fallback / "sys.wav").size(), 82u + 4 * 800);
  EXPECT_EQ(fileBytes(home / "sys.1.wav").size(), 82u + 4 * 800);
  EXPECT_EQ(spool.bytesOnDisk(), 2 * 82u + 4 * 1600);
  SpoolPaths paths{home.string(), "", "", "", {fallback.string()}};
  const auto parts = findSpoolParts(paths, "sys");
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].path + " " + parts[1].path, (fallback / "sys.wav").string() + " " + (home / "sys.1.wav").string());
  EXPECT_EQ(readBack(spool).samples, appended);
}

TEST(TrackSpool, AnHourOfTenMillisecondBuffersKeepsMemoryFlat) {
  // 48 kHz in 10 ms buffers, written once a simulated second: the spool
  // holds two one-second buffers at most (grown by doubling), never the track.
  TrackSpool spool("/dev/null", "sys", kManual);
  const std::vector<float> buffer(480, 0.25f);
  std::size_t most = 0;
  for (int i = 1; i <= 360000; ++i) {
    spool.append(48000, buffer);
    if (i % 100 == 0) spool.flushNow(), most = std::max(most, spool.samplesInMemory());
  }
  EXPECT_LE(most, 3u * 48000u);
}

}  // namespace
