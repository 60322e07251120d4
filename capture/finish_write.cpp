#include "capture/finish_write.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "aec/echo_canceller.hpp"
#include "aec/sample_source.hpp"
#include "audio/sample_utils.hpp"
#include "audio/wav.hpp"
#include "base/console.hpp"
#include "capture/float_track.hpp"
#include "capture/rate_text.hpp"
#include "capture/resampled_source.hpp"

namespace {

// Written tracks peak at 0.95 of full scale, gain at most 12 (about 21.6 dB),
// and a track below 0.002 is taken for silence and left alone.
constexpr float kTargetPeak = 0.95f;
constexpr float kMaxGain = 12.0f;
constexpr float kMinPeak = 0.002f;

// When the two rates differ by more than this (Hz), the microphone is
// resampled; a fraction of a hertz of clock reporting noise is not.
constexpr double kRateTolerance = 1.0;

constexpr double kFallbackRate = 48000.0;

// Samples read per stretch in the passes over the tracks.
constexpr int64_t kBlock = 1 << 16;

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// Echo of the system audio removed from the microphone: the cleaned track,
// or nothing when the microphone stays as it was (the canceller cannot be
// had, runs out of memory or answers with another length, or keeps it
// itself: the echo-cancellation line is printed then too).
std::optional<FloatTrackSource> cancelEcho(const SampleSource& mic, const SampleSource& sys,
                                           double rate, const std::string& scratchDir,
                                           const CancellerFactory& makeCanceller) {
  std::optional<FloatTrackSource> cleaned;
  try {
    std::unique_ptr<EchoCanceller> canceller = makeCanceller();
    if (!canceller) return std::nullopt;
    FloatTrackSink sink(scratchDir);
    const std::optional<AecStats> stats = canceller->process(mic, sys, rate, sink);
    if (stats) {
      const std::string line = formatAecLine(*stats);
      logErr(line);
      appendAecLog(line);
    }
    if (stats && stats->applied) cleaned.emplace(sink.finish());
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // no room for the canceller's scratch: the files matter more
  }
  if (cleaned && cleaned->size() != mic.size()) return std::nullopt;
  logErr(formatLine("echo cancellation applied (%lld frames)", static_cast<long long>(mic.size())));
  return cleaned;
}

// Calls each(i, sys, mic, n) for the stretches of both tracks from the
// start to the end of the longer one; past its end a track reads as 0.
template <typename Each>
void forEachStretch(const SampleSource& sys, const SampleSource& mic, Each each) {
  std::vector<float> s(kBlock), m(kBlock);
  const int64_t total = std::max(sys.size(), mic.size());
  for (int64_t at = 0; at < total; at += kBlock) {
    const int64_t n = std::min(kBlock, total - at);
    sys.read(at, n, s.data());
    mic.read(at, n, m.data());
    each(s.data(), m.data(), static_cast<size_t>(n));
  }
}

// Sample i of the mix, as a track of zeros with sys and then mic added to it.
float mixed(float s, float m) {
  float x = 0.0f;
  x += s;
  x += m;
  return x;
}

struct Levels {
  float peak = 0.0f;
  uint64_t clipped = 0;
};

void addLevels(Levels& l, const float* x, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    addToPeak(l.peak, x[i]);
    if (isClipped(x[i])) ++l.clipped;
  }
}

void logLevels(const char* name, const Levels& l, int64_t size) {
  logErr(formatLine("%s: %lld frames, peak %.3f, clip %.1f%%", name, static_cast<long long>(size),
                    static_cast<double>(l.peak),
                    static_cast<double>(clipPercent(l.clipped, static_cast<size_t>(size)))));
}

// The gain normalizeInPlace would apply to a track of this peak (its line
// printed now); nothing for an empty track or one left as it is.
std::optional<float> gainFor(int64_t size, float peak) {
  if (size == 0) return std::nullopt;
  return normalizationGain(peak, kTargetPeak, kMaxGain, kMinPeak);
}

// Writes `frames` samples, made a stretch at a time by make(sys, mic, n, out),
// to `path`; true when the file is in place.
template <typename Make>
bool writeStreamed(const std::string& path, int64_t frames, double rate, const SampleSource& sys,
                   const SampleSource& mic, Make make) {
  std::optional<Wav16FileWriter> out = Wav16FileWriter::begin(path, static_cast<size_t>(frames), rate);
  if (!out) return false;
  std::vector<float> piece(kBlock);
  forEachStretch(sys, mic, [&](const float* s, const float* m, size_t n) {
    make(s, m, n, piece.data());
    out->write(std::span<const float>(piece.data(), n));
  });
  return out->commit();
}

// One track on its own (normalised with `gain` when there is one).
bool writeTrack(const std::string& path, const SampleSource& track, double rate,
                std::optional<float> gain) {
  const SpanSource none(std::span<const float>{});
  return writeStreamed(path, track.size(), rate, track, none,
                       [&](const float* x, const float*, size_t n, float* out) {
                         for (size_t i = 0; i < n; ++i) out[i] = gain ? normalizedSample(x[i], *gain) : x[i];
                       });
}

}  // namespace

bool writeRecording(RecordedTracks tracks, bool echoCancel, const std::string& outPath) {
  return writeRecording(std::move(tracks), echoCancel, outPath,
                        [] { return EchoCanceller::create(); });
}

bool writeRecording(RecordedTracks tracks, bool echoCancel, const std::string& outPath,
                    const CancellerFactory& makeCanceller) {
  const SpanSource sys(tracks.sys), mic(tracks.mic);
  return writeRecording(TrackSources{sys, mic, tracks.sysRate, tracks.micRate}, echoCancel, outPath,
                        makeCanceller);
}

bool writeRecording(const TrackSources& tracks, bool echoCancel, const std::string& outPath,
                    const CancellerFactory& makeCanceller) {
  const SampleSource& sys = tracks.sys;
  const SampleSource* mic = &tracks.mic;
  const double sysRate = tracks.sysRate;
  const double micRate = tracks.micRate;

  double rate = kFallbackRate;
  std::optional<ResampledSource> resampled;
  std::optional<FloatTrackSource> cleaned;
  if (sys.size() > 0) {
    if (sysRate > 0) rate = sysRate;
    if (mic->size() > 0 && micRate > 0 && sysRate > 0 && std::fabs(micRate - sysRate) > kRateTolerance) {
      logErr("resampling mic " + rateText(micRate) + "Hz → " + rateText(sysRate) + "Hz");
      if (const auto length = resampledLength(mic->size(), micRate, sysRate))
        mic = &resampled.emplace(*mic, micRate, sysRate, *length);
    }
    if (echoCancel && mic->size() > 0) {
      std::optional<FloatTrackSource> c = cancelEcho(*mic, sys, rate, folderOf(outPath), makeCanceller);
      if (c) mic = &cleaned.emplace(std::move(*c));
    }
  } else if (micRate > 0) {
    rate = micRate;
  }

  // First pass: what the level lines and the normalisation need.
  Levels sysLevels, micLevels;
  float mixPeak = 0.0f;
  forEachStretch(sys, *mic, [&](const float* s, const float* m, size_t n) {
    addLevels(sysLevels, s, n);
    addLevels(micLevels, m, n);
    for (size_t i = 0; i < n; ++i) addToPeak(mixPeak, mixed(s[i], m[i]));
  });
  logLevels("sys", sysLevels, sys.size());
  logLevels("mic", micLevels, mic->size());

  // Second pass: the files.
  const int64_t mixSize = std::max(sys.size(), mic->size());
  const std::optional<float> mixGain = gainFor(mixSize, mixPeak);
  bool written = writeStreamed(outPath, mixSize, rate, sys, *mic,
                               [&](const float* s, const float* m, size_t n, float* out) {
                                 for (size_t i = 0; i < n; ++i) {
                                   const float x = mixed(s[i], m[i]);
                                   out[i] = mixGain ? normalizedSample(x, *mixGain) : x;
                                 }
                               });
  logErr("wrote " + std::to_string(mixSize) + " frames @ " + rateText(rate) + "Hz → " + outPath);

  if (sys.size() == 0 || mic->size() == 0) return written;

  const std::optional<float> micGain = gainFor(mic->size(), micLevels.peak);
  const std::optional<float> sysGain = gainFor(sys.size(), sysLevels.peak);
  const std::string micPath = channelPath(outPath, "mic");
  const std::string sysPath = channelPath(outPath, "sys");
  written = writeTrack(micPath, *mic, rate, micGain) && written;
  written = writeTrack(sysPath, sys, rate, sysGain) && written;
  logErr("wrote channels → " + micPath + " + " + sysPath);
  return written;
}
