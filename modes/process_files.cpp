#include "modes/process_files.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "aec/adaptive_canceller.hpp"
#include "aec/echo_canceller.hpp"
#include "aec/sample_source.hpp"
#include "audio/loudness.hpp"
#include "audio/normalize.hpp"
#include "audio/track_writer.hpp"
#include "audio/wav_window_reader.hpp"
#include "base/console.hpp"
#include "capture/float_track.hpp"
#include "capture/spool_paths.hpp"
#include "modes/progress_line.hpp"

namespace {

long long truncatedRate(double rate) { return static_cast<long long>(rate); }

// A WAV file as the canceller's track: read a window at a time, 0 outside.
class WavSource final : public SampleSource {
 public:
  explicit WavSource(const WavWindowReader& wav) : wav_(wav) {}
  int64_t size() const override { return static_cast<int64_t>(wav_.frames()); }

 private:
  void readInside(int64_t first, int64_t count, float* dst) const override {
    wav_.read(static_cast<size_t>(first), static_cast<size_t>(count), dst);
  }

  const WavWindowReader& wav_;
};

// The cleaned track into the output file as it is made (or nowhere when no
// file can be made for it: writeTrack then writes no file either), or into
// a scratch track to be measured before it is levelled.
class TrackSink final : public SampleSink {
 public:
  TrackSink(std::unique_ptr<TrackWriter>& out, ProgressLine& progress)
      : out_(out), progress_(progress) {}
  void write(std::span<const float> samples) override {
    if (scratch_) scratch_->write(samples);
    else if (out_) out_->write(samples);
    progress_.advance(static_cast<int64_t>(samples.size()));
  }
  std::optional<FloatTrackSink> scratch_;

 private:
  std::unique_ptr<TrackWriter>& out_;
  ProgressLine& progress_;
};

// Writing into one of the inputs while reading it would corrupt it.
bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// The failure line; the mode ends with status 1.
int failed(const std::string& message) {
  logFail(message);
  return 1;
}

// After the "wrote" line: the output is not in place (`error`, an errno,
// says why). The status stays as it is.
void reportUnwritten(const std::string& outPath, int error) {
  if (error != 0)
    logErr("[WARN] " + outPath + " not written: " + std::generic_category().message(error));
}

int errorOf(const TrackWriter& out) { return out.error() != 0 ? out.error() : EIO; }

// Writes `track` to `outPath`, levelled to `loudness` when there is one (a
// pass to measure it, its line, then one to write it); what kept the file
// from its place (0 when it is there).
int writeLevelled(const SampleSource& track, double rate, const std::string& outPath,
                  std::optional<double> loudness, TrackWriter::Durability durability) {
  constexpr int64_t kBlock = 1 << 16;
  std::vector<float> piece(kBlock);
  LoudnessPlan plan;
  if (loudness) {
    LoudnessMeter meter(rate);
    for (int64_t at = 0; at < track.size(); at += kBlock) {
      const int64_t n = std::min(kBlock, track.size() - at);
      track.read(at, n, piece.data());
      meter.add(std::span<const float>(piece.data(), static_cast<size_t>(n)));
    }
    plan = meter.plan(*loudness);
    logLoudness(plan);
  }
  std::unique_ptr<TrackWriter> out = TrackWriter::begin(outPath, static_cast<size_t>(track.size()), rate, durability);
  if (!out) return errno != 0 ? errno : EIO;
  for (int64_t at = 0; at < track.size(); at += kBlock) {
    const int64_t n = std::min(kBlock, track.size() - at);
    track.read(at, n, piece.data());
    if (plan.measured) normalizeSamples(piece.data(), piece.data(), static_cast<size_t>(n), plan.gain);
    out->write(std::span<const float>(piece.data(), static_cast<size_t>(n)));
  }
  return out->commit() ? 0 : errorOf(*out);
}

// The same for a track in memory, synced as a recording's files are.
int writeOrError(std::span<const float> samples, double rate, const std::string& outPath,
                 std::optional<double> loudness) {
  return writeLevelled(SpanSource(samples), rate, outPath, loudness, TrackWriter::Durability::kSynced);
}

void reportAec(const std::optional<AecStats>& stats) {
  if (!stats) return;
  const std::string line = formatAecLine(*stats);
  logErr(line);
  appendAecLog(line);
}

// The adaptive canceller writes the cleaned track as it makes it, under a
// temporary name renamed over the output once complete (so the output may
// be one of the inputs), or into a scratch track to be measured first when
// it is to be levelled; a track it did not run on is written as it came.
int cleanAdaptively(const WavSource& micTrack, const WavSource& sysTrack, double rate,
                    const std::string& outPath, std::optional<double> loudness) {
  const auto whole = TrackWriter::Durability::kWhole;
  std::unique_ptr<TrackWriter> out;
  ProgressLine progress(micTrack.size(), rate > 0.0 ? static_cast<double>(micTrack.size()) / rate : 0.0);
  TrackSink sink(out, progress);
  if (loudness) sink.scratch_.emplace(folderOf(outPath));
  else out = TrackWriter::begin(outPath, static_cast<size_t>(micTrack.size()), rate, whole);
  int error = out || loudness ? 0 : errno;
  const std::optional<AdaptiveStats> stats = cancelEchoAdaptive(micTrack, sysTrack, rate, sink);
  progress.stop();
  if (!stats) return failed("EchoCanceller init failed");
  if (stats->ran) {
    const std::string line = formatAdaptiveDiagnostics(*stats, rate);
    logErr(line);
    appendAecLog(line);
  } else {
    copyTrack(micTrack, sink);
  }
  if (loudness) error = writeLevelled(sink.scratch_->finish(), rate, outPath, loudness, whole);
  else if (out && !out->commit()) error = errorOf(*out);
  logErr("wrote cleaned mic → " + outPath);
  reportUnwritten(outPath, error);
  return 0;
}

}  // namespace

int processFiles(const std::string& micPath, const std::string& sysPath,
                 const std::string& outPath, bool adaptive, std::optional<double> loudness) {
  if (adaptive) {
    std::optional<WavWindowReader> mic = WavWindowReader::open(micPath);
    if (!mic) return failed("cannot read mic wav: " + micPath);
    std::optional<WavWindowReader> sys = WavWindowReader::open(sysPath);
    if (!sys) return failed("cannot read sys wav: " + sysPath);
    logErr(formatLine("process-files: mic %zu@%lld + sys %zu@%lld", mic->frames(),
                      truncatedRate(mic->rate()), sys->frames(), truncatedRate(sys->rate())));
    return cleanAdaptively(WavSource(*mic), WavSource(*sys), mic->rate(), outPath, loudness);
  }
  return processFilesWith(micPath, sysPath, outPath, [] { return EchoCanceller::create(); }, loudness);
}

int processFilesWith(const std::string& micPath, const std::string& sysPath,
                     const std::string& outPath,
                     const std::function<std::unique_ptr<EchoCanceller>()>& makeCanceller,
                     std::optional<double> loudness) {
  // The microphone is opened first, so that it is the one reported when both
  // files are unusable; the canceller is only set up once both are usable.
  std::optional<WavWindowReader> mic = WavWindowReader::open(micPath);
  if (!mic) return failed("cannot read mic wav: " + micPath);
  std::optional<WavWindowReader> sys = WavWindowReader::open(sysPath);
  if (!sys) return failed("cannot read sys wav: " + sysPath);
  std::unique_ptr<EchoCanceller> canceller = makeCanceller();
  if (!canceller) return failed("EchoCanceller init failed");

  logErr(formatLine("process-files: mic %zu@%lld + sys %zu@%lld", mic->frames(),
                    truncatedRate(mic->rate()), sys->frames(), truncatedRate(sys->rate())));

  // The system track is taken at the microphone's rate, whatever its own:
  // nothing converts it. The tracks are read as the canceller needs them and
  // the cleaned track is written as it is made, so memory does not grow
  // with the length.
  const double rate = mic->rate();
  const WavSource micTrack(*mic), sysTrack(*sys);
  int error = 0;
  if (sameFile(outPath, micPath) || sameFile(outPath, sysPath)) {
    std::vector<float> micSamples(mic->frames()), sysSamples(sys->frames());
    micTrack.read(0, micTrack.size(), micSamples.data());
    sysTrack.read(0, sysTrack.size(), sysSamples.data());
    AecResult result = canceller->process(micSamples, sysSamples, rate);
    reportAec(result.stats);
    error = writeOrError(result.cleaned, rate, outPath, loudness);
  } else {
    // The file is made under a temporary name and renamed over the output
    // only once complete: an interrupted job leaves an older file whole. The
    // inputs stay on disk, so the job can always be run again: the result is
    // not waited for on the disk.
    const auto whole = TrackWriter::Durability::kWhole;
    std::unique_ptr<TrackWriter> out;
    ProgressLine progress(micTrack.size(),
                          rate > 0.0 ? static_cast<double>(micTrack.size()) / rate : 0.0);
    TrackSink sink(out, progress);
    // A track to be levelled is measured whole first: the cleaned track
    // waits in an unnamed file of the output's folder.
    if (loudness) sink.scratch_.emplace(folderOf(outPath));
    else out = TrackWriter::begin(outPath, mic->frames(), rate, whole);
    error = out || loudness ? 0 : errno;
    const std::optional<AecStats> stats = canceller->process(micTrack, sysTrack, rate, sink);
    progress.stop();  // the line goes before the canceller's report
    reportAec(stats);
    const bool applied = stats && stats->applied;
    if (loudness) {
      // A track the canceller left alone, or whose result it rejected, is
      // written as it came.
      if (applied) error = writeLevelled(sink.scratch_->finish(), rate, outPath, loudness, whole);
      else error = writeLevelled(micTrack, rate, outPath, loudness, whole);
    } else {
      // The same, in a file begun afresh.
      if (!applied) {
        out = TrackWriter::begin(outPath, mic->frames(), rate, whole);
        error = out ? 0 : errno;
        copyTrack(micTrack, sink);
      }
      if (out && !out->commit()) error = errorOf(*out);
    }
  }
  logErr("wrote cleaned mic → " + outPath);
  reportUnwritten(outPath, error);
  return 0;
}
