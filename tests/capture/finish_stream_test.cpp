// The finish as it streams from the spool against the finish made whole in
// memory (the tracks, the mix and the channels as vectors): the same lines
// and the same bytes; and the microphone resampled as it is read.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include "aec/echo_canceller.hpp"
#include "audio/sample_utils.hpp"
#include "audio/wav.hpp"
#include "audio/wav_float.hpp"
#include "audio/wav_test_support.hpp"
#include "base/console.hpp"
#include "capture/float_track.hpp"
#include "capture/rate_text.hpp"
#include "capture/resampled_source.hpp"
#include "capture/spool_paths.hpp"
#include "capture/spool_recover.hpp"
#include "support/stderr_capture.hpp"

namespace {

using wavtest::fileBytes, wavtest::ScratchDir;

// The finish on whole tracks in memory, step by step.
void finishInMemory(std::vector<float> sys, std::vector<float> mic, double sysRate, double micRate, bool echoCancel) {
  double rate = sysRate > 0 ? sysRate : 48000;
  if (sys.empty()) rate = micRate > 0 ? micRate : 48000;
  if (!sys.empty() && !mic.empty() && std::fabs(micRate - sysRate) > 1.0) {
    logErr("resampling mic " + rateText(micRate) + "Hz → " + rateText(sysRate) + "Hz");
    mic = resampleLinear(mic, micRate, sysRate);
  }
  if (!sys.empty() && !mic.empty() && echoCancel) {
    AecResult result = EchoCanceller::create()->process(mic, sys, rate);
    if (result.stats) logErr(formatAecLine(*result.stats));
    mic = result.cleaned;
    logErr(formatLine("echo cancellation applied (%zu frames)", mic.size()));
  }
  for (const auto& [name, x] : {std::pair("sys", &sys), std::pair("mic", &mic)})
    logErr(formatLine("%s: %zu frames, peak %.3f, clip %.1f%%", name, x->size(), peak(*x), clipPct(*x)));
  std::vector<float> mix(std::max(sys.size(), mic.size()), 0.0f);
  for (size_t i = 0; i < sys.size(); ++i) mix[i] += sys[i];
  for (size_t i = 0; i < mic.size(); ++i) mix[i] += mic[i];
  normalizeInPlace(mix, 0.95f, 12.0f, 0.002f);
  writeWav16(mix, rate, "rec.wav");
  logErr("wrote " + std::to_string(mix.size()) + " frames @ " + rateText(rate) + "Hz → rec.wav");
  if (sys.empty() || mic.empty()) return;
  normalizeInPlace(mic, 0.95f, 12.0f, 0.002f);
  normalizeInPlace(sys, 0.95f, 12.0f, 0.002f);
  writeWav16(mic, rate, "rec.mic.wav");
  writeWav16(sys, rate, "rec.sys.wav");
  logErr("wrote channels → rec.mic.wav + rec.sys.wav");
}

// A spool track as a killed writer leaves it: the header counts half the
// samples, and half a sample trails the data.
void writeSpoolTrack(const std::string& path, const std::vector<float>& x, double rate) {
  const auto header = wavHeaderFloat32(x.size() / 2, rate);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(header.data()), header.size())
      .write(reinterpret_cast<const char*>(x.data()), static_cast<std::streamsize>(4 * x.size()))
      .write("\x01\x02", 2);
}

// A far-end voice-like signal and the microphone's echo of it, 20 ms late.
std::vector<float> signal(size_t n, double rate, float level, double late = 0) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = i / rate - late;
    x[i] = level * static_cast<float>(std::sin(2 * M_PI * 220 * t) * (0.6 + 0.4 * std::sin(2 * M_PI * 3 * t)));
  }
  return x;
}

TEST(FinishStream, FromTheSpoolAsTheWholeTracksInMemoryGive) {
  ScratchDir dir("finish-stream");
  ::setenv("HOME", dir.path().c_str(), 1);  // the canceller's log
  const auto cwd = std::filesystem::current_path();
  struct Case { const char* name; size_t sysN, micN; double sysRate, micRate; bool echoCancel; };
  for (const Case& c : {Case{"differing rates, echo cancelled", 144000, 132300, 48000, 44100, true},
                        Case{"mic only", 0, 44100, 48000, 44100, true},
                        Case{"sys only", 40000, 0, 32000, 16000, true},
                        Case{"mic shorter", 48000, 20000, 48000, 48000, false},
                        Case{"empty tracks", 0, 0, 48000, 44100, true}}) {
    SCOPED_TRACE(c.name);
    const std::vector<float> sys = signal(c.sysN, c.sysRate, 0.5f);
    const std::vector<float> mic = signal(c.micN, c.micRate, 0.25f, 0.02);
    for (const char* sub : {"memory", "spool"}) std::filesystem::remove_all(dir / sub), std::filesystem::create_directory(dir / sub);
    std::filesystem::current_path(dir / "memory");
    StderrCapture memoryErr;
    finishInMemory(sys, mic, c.sysRate, c.micRate, c.echoCancel);
    const std::string want = memoryErr.text();  // the lines name the same relative path
    std::filesystem::current_path(dir / "spool");
    const SpoolPaths spool = spoolPaths("rec.wav");
    std::filesystem::create_directory(spool.dir);
    writeSpoolTrack(spool.sys, sys, c.sysRate);
    writeSpoolTrack(spool.mic, mic, c.micRate);
    StderrCapture spoolErr;
    EXPECT_EQ(recoverRecording("rec.wav", c.echoCancel), 0);
    EXPECT_EQ(spoolErr.text(), want);
    EXPECT_FALSE(std::filesystem::exists(spool.dir));
    std::filesystem::current_path(cwd);
    for (const char* name : {"rec.wav", "rec.mic.wav", "rec.sys.wav"}) {
      EXPECT_EQ(fileBytes(dir / "spool" / name), fileBytes(dir / "memory" / name)) << name;
      EXPECT_EQ(std::filesystem::exists(dir / "spool" / name), std::filesystem::exists(dir / "memory" / name));
    }
  }
}

TEST(FinishStream, ResampledAsReadIsResampleLinearWhereverPiecesEnd) {
  ScratchDir dir("resampled-source");
  std::mt19937 random(7);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  std::vector<float> x(40000);
  for (float& s : x) s = noise(random);
  // The track read back from an unnamed file, from memory (no folder), and
  // from a spool file continued by a part in memory.
  const std::string spool = (dir / "t.wav").string();
  writeSpoolTrack(spool, std::vector<float>(x.begin(), x.begin() + 25000), 48000);
  std::vector<FloatTrackSource> inputs;
  for (const std::string& folder : {dir.path().string(), (dir / "none").string()}) {
    FloatTrackSink sink(folder);
    for (size_t at = 0; at < x.size(); at += 777) sink.write(std::span(x).subspan(at, std::min<size_t>(777, x.size() - at)));
    inputs.push_back(sink.finish());
  }
  inputs.push_back(std::move(openSpooledTrack(spool, 25000, std::vector<float>(x.begin() + 25000, x.end()))->source));
  for (const auto& [from, to] : {std::pair(44100.0, 48000.0), {48000.0, 44100.0}, {16000.0, 48000.0}, {48000.0, 7999.0}}) {
    SCOPED_TRACE(std::to_string(from) + " → " + std::to_string(to));
    const std::vector<float> want = resampleLinear(x, from, to);
    for (const FloatTrackSource& input : inputs) {
      const ResampledSource source(input, from, to, *resampledLength(40000, from, to));
      ASSERT_EQ(source.size(), static_cast<int64_t>(want.size()));
      // Pieces of 5000 from 3 before the start: the last one runs past the end.
      std::vector<float> got(want.size() + 5003 + 3);
      for (int64_t at = -3; at < source.size(); at += 5000) source.read(at, 5000, got.data() + at + 3);
      EXPECT_EQ(std::vector<float>(got.begin() + 3, got.begin() + 3 + want.size()), want);
      EXPECT_EQ(got[0] + got[want.size() + 3], 0.0f);  // outside the track
    }
  }
}

}  // namespace
