#include "capture/finish_write.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <utility>

#include "aec/adaptive_canceller.hpp"
#include "aec/echo_canceller.hpp"
#include "aec/sample_source.hpp"
#include "audio/loudness.hpp"
#include "audio/sample_utils.hpp"
#include "audio/track_writer.hpp"
#include "audio/wav.hpp"
#include "base/console.hpp"
#include "capture/float_track.hpp"
#include "capture/rate_text.hpp"
#include "capture/resampled_source.hpp"
#include "capture/spool_paths.hpp"

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

// Calls each(at, sys, mic, n) for the stretches of both tracks from `from`
// to the end of the longer one; past its end a track reads as 0.
template <typename Each>
void forEachStretch(int64_t from, const SampleSource& sys, const SampleSource& mic, Each each) {
  std::vector<float> s(kBlock), m(kBlock);
  const int64_t total = std::max(sys.size(), mic.size());
  for (int64_t at = from; at < total; at += kBlock) {
    const int64_t n = std::min(kBlock, total - at);
    sys.read(at, n, s.data());
    mic.read(at, n, m.data());
    each(at, s.data(), m.data(), static_cast<size_t>(n));
  }
}

// Calls each(x, n) for the stretches of one track, from its start.
template <typename Each>
void forEachBlock(const SampleSource& track, Each each) {
  std::vector<float> x(kBlock);
  for (int64_t at = 0; at < track.size(); at += kBlock) {
    const int64_t n = std::min(kBlock, track.size() - at);
    track.read(at, n, x.data());
    each(x.data(), n);
  }
}

// A job started on a thread of its own, or run when it is joined if no
// thread can be had.
class BackgroundJob {
 public:
  explicit BackgroundJob(std::function<void()> job) : job_(std::move(job)) {
    try {
      thread_ = std::thread(job_);
    } catch (const std::system_error&) {
    }
  }
  ~BackgroundJob() { join(); }
  BackgroundJob(const BackgroundJob&) = delete;
  BackgroundJob& operator=(const BackgroundJob&) = delete;

  void join() {
    if (thread_.joinable()) thread_.join();
    else if (job_) job_();
    job_ = nullptr;
  }

 private:
  std::function<void()> job_;
  std::thread thread_;
};

// Runs the jobs at once: the first on the calling thread, each other as a
// background job.
void runTogether(std::initializer_list<std::function<void()>> jobs) {
  std::vector<std::unique_ptr<BackgroundJob>> others;
  for (auto job = jobs.begin() + 1; job < jobs.end(); ++job) others.push_back(std::make_unique<BackgroundJob>(*job));
  (*jobs.begin())();
  for (auto& other : others) other->join();
}

// Sample i of the mix, as a track of zeros with sys and then mic added to it.
float mixed(float s, float m) {
  float x = 0.0f;
  x += s;
  x += m;
  return x;
}

// Calls each(x, n) for the stretches of the mix of both tracks.
template <typename Each>
void forEachMixed(const SampleSource& sys, const SampleSource& mic, Each each) {
  std::vector<float> mix(kBlock);
  forEachStretch(0, sys, mic, [&](int64_t, const float* s, const float* x, size_t n) {
    for (size_t i = 0; i < n; ++i) mix[i] = mixed(s[i], x[i]);
    each(mix.data(), n);
  });
}

// The loudness of the mix and, with `micLoudness`, of the microphone, each
// on a thread: the meter's true peak costs more than reading twice.
void measureLoudness(const SampleSource& sys, const SampleSource& mic, LoudnessMeter& mixLoudness,
                     std::optional<LoudnessMeter>& micLoudness) {
  runTogether({
      [&] { forEachMixed(sys, mic, [&](const float* x, size_t n) { mixLoudness.add(std::span<const float>(x, n)); }); },
      [&] {
        if (micLoudness)
          forEachBlock(mic, [&](const float* x, int64_t n) { micLoudness->add(std::span<const float>(x, static_cast<size_t>(n))); });
      },
  });
}

// What the level lines and the normalisation need, taken over [0, upTo).
struct Measures {
  LevelTally sys, mic;
  float mixPeak = 0.0f;
  int64_t upTo = 0;
};

// Samples past a track's end read as 0, which changes neither measure.
void measure(Measures& m, const float* sys, const float* mic, size_t n) {
  m.sys.add(std::span<const float>(sys, n));
  m.mic.add(std::span<const float>(mic, n));
  addSumToPeak(m.mixPeak, sys, mic, n);
  m.upTo += static_cast<int64_t>(n);
}

// Passes the cleaned microphone on and measures it with the system track at
// the same positions, a block at a time (the canceller hands it over a hop
// at a time; reading the system track that finely would cost a read per
// hop): the pass over both tracks is made while the canceller runs.
class MeasuringSink final : public SampleSink {
 public:
  MeasuringSink(SampleSink& inner, const SampleSource& sys, Measures& m) : inner_(inner), sys_(sys), m_(m) {
    pending_.reserve(kBlock);
  }
  void write(std::span<const float> samples) override {
    while (!samples.empty()) {
      const size_t n = std::min(samples.size(), static_cast<size_t>(kBlock) - pending_.size());
      pending_.insert(pending_.end(), samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n));
      samples = samples.subspan(n);
      if (pending_.size() == static_cast<size_t>(kBlock)) flush();
    }
  }
  // What is still gathered; the sink is complete after it.
  void flush() {
    if (pending_.empty()) return;
    inner_.write(pending_);
    sysPiece_.resize(pending_.size());
    sys_.read(m_.upTo, static_cast<int64_t>(pending_.size()), sysPiece_.data());
    measure(m_, sysPiece_.data(), pending_.data(), pending_.size());
    pending_.clear();
  }

 private:
  SampleSink& inner_;
  const SampleSource& sys_;
  Measures& m_;
  std::vector<float> pending_;
  std::vector<float> sysPiece_;
};

// Echo of the system audio removed from the microphone: the cleaned track
// (measured into `m`), or nothing when the microphone stays as it was (the
// canceller cannot be had, runs out of memory or answers with another
// length, or keeps it itself: the echo-cancellation line is printed then too).
std::optional<FloatTrackSource> cancelEcho(const SampleSource& mic, const SampleSource& sys,
                                           double rate, const std::string& scratchDir,
                                           const CancellerFactory& makeCanceller, Measures& m) {
  std::optional<FloatTrackSource> cleaned;
  try {
    std::unique_ptr<EchoCanceller> canceller = makeCanceller();
    if (!canceller) return std::nullopt;
    FloatTrackSink file(scratchDir);
    MeasuringSink sink(file, sys, m);
    const std::optional<AecStats> stats = canceller->process(mic, sys, rate, sink);
    sink.flush();
    if (stats) {
      const std::string line = formatAecLine(*stats);
      logErr(line);
      appendAecLog(line);
    }
    if (stats && stats->applied) cleaned.emplace(file.finish());
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // no room for the canceller's scratch: the files matter more
  }
  if (cleaned && cleaned->size() != mic.size()) return std::nullopt;
  logErr(formatLine("echo cancellation applied (%lld frames)", static_cast<long long>(mic.size())));
  return cleaned;
}

// The same with the adaptive canceller, which streams as the other one does
// (a segment it reverts is already the microphone in what it wrote).
std::optional<FloatTrackSource> cancelEchoAdaptively(const SampleSource& mic,
                                                     const SampleSource& sys, double rate,
                                                     const std::string& scratchDir, Measures& m) {
  std::optional<FloatTrackSource> cleaned;
  try {
    FloatTrackSink file(scratchDir);
    MeasuringSink sink(file, sys, m);
    const std::optional<AdaptiveStats> stats = cancelEchoAdaptive(mic, sys, rate, sink);
    sink.flush();
    if (!stats) return std::nullopt;
    if (stats->ran) {
      const std::string line = formatAdaptiveDiagnostics(*stats, rate);
      logErr(line);
      appendAecLog(line);
      cleaned.emplace(file.finish());
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // no room for the canceller's segments: the files matter more
  }
  if (cleaned && cleaned->size() != mic.size()) return std::nullopt;
  logErr(formatLine("echo cancellation applied (%lld frames)", static_cast<long long>(mic.size())));
  return cleaned;
}

void logLevels(const char* name, const LevelTally& l, int64_t size) {
  logErr(formatLine("%s: %lld frames, peak %.3f, clip %.1f%%", name, static_cast<long long>(size),
                    static_cast<double>(l.peak),
                    static_cast<double>(clipPercent(l.clipped, static_cast<size_t>(size)))));
}

// How normalizeInPlace would treat a track of this length and peak.
Normalization planFor(int64_t size, float peak) {
  if (size == 0) return {};
  return planNormalization(peak, kTargetPeak, kMaxGain, kMinPeak);
}

// The loudness plan of a measured track, nothing without a meter.
std::optional<LoudnessPlan> planFor(const std::optional<LoudnessMeter>& meter, double target) {
  if (!meter) return std::nullopt;
  return meter->plan(target);
}

// A file being written, with the normalisation of its samples: the peak's,
// or with a loudness target the loudness's in its place.
struct Output {
  std::unique_ptr<TrackWriter> file;
  Normalization plan;
  std::optional<LoudnessPlan> loudness;
  int openError = 0;  // why no file could be begun
  std::vector<float> piece = std::vector<float>(kBlock);

  std::optional<float> gain() const {
    if (!loudness) return plan.gain;
    if (!loudness->measured) return std::nullopt;
    return loudness->gain;
  }
  void write(const float* x, int64_t n) {
    if (!file || n <= 0) return;
    const std::optional<float> g = gain();
    if (!g) {
      file->write(std::span<const float>(x, static_cast<size_t>(n)));
      return;
    }
    normalizeSamples(x, piece.data(), static_cast<size_t>(n), *g);
    file->write(std::span<const float>(piece.data(), static_cast<size_t>(n)));
  }
  bool commit() { return file && file->commit(); }
  int error() const { return file ? file->error() : openError; }
  void log() const {
    if (loudness) logLoudness(*loudness);
    else logNormalization(plan);
  }
};

// Commits `out` and notes it in `report` when it is not in place.
void commitInto(Output& out, const std::string& path, FinishReport& report) {
  if (!out.commit()) report.push_back({path, out.error() != 0 ? out.error() : EIO});
}

}  // namespace

void reportUnwritten(const FinishReport& report, const std::string& outPath,
                     const std::string& spoolDir) {
  for (const UnwrittenFile& file : report) {
    logErr("[WARN] " + file.path + " not written: " + std::generic_category().message(file.error) +
           " — the take is kept in " + spoolDir + "; run narup-capture --recover " + outPath);
  }
}

FinishReport writeRecording(RecordedTracks tracks, bool echoCancel, const std::string& outPath) {
  return writeRecording(std::move(tracks), echoCancel, outPath,
                        [] { return EchoCanceller::create(); });
}

FinishReport writeRecording(RecordedTracks tracks, bool echoCancel, const std::string& outPath,
                            const CancellerFactory& makeCanceller) {
  const SpanSource sys(tracks.sys), mic(tracks.mic);
  return writeRecording(TrackSources{sys, mic, tracks.sysRate, tracks.micRate}, echoCancel, outPath,
                        makeCanceller);
}

FinishReport writeRecording(const TrackSources& tracks, bool echoCancel, const std::string& outPath,
                            const CancellerFactory& makeCanceller, bool adaptive) {
  const SampleSource& sys = tracks.sys;
  const SampleSource* mic = &tracks.mic;
  const double sysRate = tracks.sysRate;
  const double micRate = tracks.micRate;

  double rate = kFallbackRate;
  std::optional<ResampledSource> resampled;
  std::optional<FloatTrackSource> cleaned;
  Measures m;
  if (sys.size() > 0) {
    if (sysRate > 0) rate = sysRate;
    if (mic->size() > 0 && micRate > 0 && sysRate > 0 && std::fabs(micRate - sysRate) > kRateTolerance) {
      logErr("resampling mic " + rateText(micRate) + "Hz → " + rateText(sysRate) + "Hz");
      if (const auto length = resampledLength(mic->size(), micRate, sysRate))
        mic = &resampled.emplace(*mic, micRate, sysRate, *length);
    }
  } else if (micRate > 0) {
    rate = micRate;
  }

  // The files, each under a temporary name until it is complete. The
  // system track's own file needs nothing the canceller makes: it is
  // measured and written while the canceller runs, so that the disk takes
  // it early. (A cleaned microphone keeps the length it had.)
  const int64_t mixSize = std::max(sys.size(), mic->size());
  const bool channels = sys.size() > 0 && mic->size() > 0;
  const std::string micPath = channelPath(outPath, "mic");
  const std::string sysPath = channelPath(outPath, "sys");
  const auto output = [&](const std::string& path, int64_t size, float peak,
                          const std::optional<LoudnessPlan>& loudness) {
    Output out;
    out.file = TrackWriter::begin(path, static_cast<size_t>(size), rate);
    if (!out.file) out.openError = errno;
    out.plan = planFor(size, peak);
    out.loudness = loudness;
    return out;
  };
  const double target = tracks.loudness.value_or(0.0);
  std::optional<Output> sysOut;
  BackgroundJob sysFile([&] {
    if (!channels) return;
    LevelTally levels;
    std::optional<LoudnessMeter> loudness;
    if (tracks.loudness) loudness.emplace(rate);
    forEachBlock(sys, [&](const float* x, int64_t n) {
      levels.add(std::span<const float>(x, static_cast<size_t>(n)));
      if (loudness) loudness->add(std::span<const float>(x, static_cast<size_t>(n)));
    });
    sysOut.emplace(output(sysPath, sys.size(), levels.peak, planFor(loudness, target)));
    forEachBlock(sys, [&](const float* x, int64_t n) { sysOut->write(x, n); });
  });

  if (sys.size() > 0 && echoCancel && mic->size() > 0) {
    std::optional<FloatTrackSource> c =
        adaptive ? cancelEchoAdaptively(*mic, sys, rate, folderOf(outPath), m)
                 : cancelEcho(*mic, sys, rate, folderOf(outPath), makeCanceller, m);
    if (c) mic = &cleaned.emplace(std::move(*c));
  }

  // First pass: what the canceller did not measure (everything, when the
  // microphone stays as it was).
  if (!cleaned) m = Measures{};
  forEachStretch(m.upTo, sys, *mic,
                 [&](int64_t, const float* s, const float* x, size_t n) { measure(m, s, x, n); });
  logLevels("sys", m.sys, sys.size());
  logLevels("mic", m.mic, mic->size());

  // Second pass: the mix and the microphone's file at once, each on a
  // thread: converting and handing over the samples takes longer than
  // reading them twice. The lines follow in the order the tracks finish.
  std::optional<LoudnessMeter> mixLoudness, micLoudness;
  if (tracks.loudness) {
    mixLoudness.emplace(rate);
    if (channels) micLoudness.emplace(rate);
    measureLoudness(sys, *mic, *mixLoudness, micLoudness);
  }
  Output mixOut = output(outPath, mixSize, m.mixPeak, planFor(mixLoudness, target));
  Output micOut = channels ? output(micPath, mic->size(), m.mic.peak, planFor(micLoudness, target)) : Output{};
  runTogether({
      [&] { forEachMixed(sys, *mic, [&](const float* x, size_t n) { mixOut.write(x, static_cast<int64_t>(n)); }); },
      [&] { forEachBlock(*mic, [&](const float* x, int64_t n) { micOut.write(x, n); }); },
  });
  sysFile.join();

  FinishReport report;
  commitInto(mixOut, outPath, report);
  mixOut.log();
  logErr("wrote " + std::to_string(mixSize) + " frames @ " + rateText(rate) + "Hz → " + outPath);
  if (!channels) return report;
  commitInto(micOut, micPath, report);
  commitInto(*sysOut, sysPath, report);
  micOut.log();
  sysOut->log();
  logErr("wrote channels → " + micPath + " + " + sysPath);
  return report;
}
