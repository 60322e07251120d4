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
#include "audio/wav.hpp"
#include "audio/wav_writer.hpp"
#include "audio/wav_window_reader.hpp"
#include "base/console.hpp"
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
// file can be made for it: writeWav16 then writes no file either).
class WavSink final : public SampleSink {
 public:
  WavSink(std::optional<Wav16FileWriter>& out, ProgressLine& progress)
      : out_(out), progress_(progress) {}
  void write(std::span<const float> samples) override {
    if (out_) out_->write(samples);
    progress_.advance(static_cast<int64_t>(samples.size()));
  }

 private:
  std::optional<Wav16FileWriter>& out_;
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

// writeWav16, with what kept the file from its place (0 when it is there).
int writeOrError(std::span<const float> samples, double rate, const std::string& outPath) {
  return writeWav16(samples, rate, outPath) ? 0 : (errno != 0 ? errno : EIO);
}

void reportAec(const std::optional<AecStats>& stats) {
  if (!stats) return;
  const std::string line = formatAecLine(*stats);
  logErr(line);
  appendAecLog(line);
}

// The adaptive canceller writes the cleaned track as it makes it, under a
// temporary name renamed over the output once complete (so the output may
// be one of the inputs); a track it did not run on is written as it came.
int cleanAdaptively(const WavSource& micTrack, const WavSource& sysTrack, double rate,
                    const std::string& outPath) {
  const auto whole = Wav16FileWriter::Durability::kWhole;
  const size_t frames = static_cast<size_t>(micTrack.size());
  std::optional<Wav16FileWriter> out = Wav16FileWriter::begin(outPath, frames, rate, whole);
  int error = out ? 0 : errno;
  ProgressLine progress(micTrack.size(), rate > 0.0 ? static_cast<double>(micTrack.size()) / rate : 0.0);
  WavSink sink(out, progress);
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
  if (out && !out->commit()) error = out->error() != 0 ? out->error() : EIO;
  logErr("wrote cleaned mic → " + outPath);
  reportUnwritten(outPath, error);
  return 0;
}

}  // namespace

int processFiles(const std::string& micPath, const std::string& sysPath,
                 const std::string& outPath, bool adaptive) {
  if (adaptive) {
    std::optional<WavWindowReader> mic = WavWindowReader::open(micPath);
    if (!mic) return failed("cannot read mic wav: " + micPath);
    std::optional<WavWindowReader> sys = WavWindowReader::open(sysPath);
    if (!sys) return failed("cannot read sys wav: " + sysPath);
    logErr(formatLine("process-files: mic %zu@%lld + sys %zu@%lld", mic->frames(),
                      truncatedRate(mic->rate()), sys->frames(), truncatedRate(sys->rate())));
    return cleanAdaptively(WavSource(*mic), WavSource(*sys), mic->rate(), outPath);
  }
  return processFilesWith(micPath, sysPath, outPath, [] { return EchoCanceller::create(); });
}

int processFilesWith(const std::string& micPath, const std::string& sysPath,
                     const std::string& outPath,
                     const std::function<std::unique_ptr<EchoCanceller>()>& makeCanceller) {
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
    error = writeOrError(result.cleaned, rate, outPath);
  } else {
    // The file is made under a temporary name and renamed over the output
    // only once complete: an interrupted job leaves an older file whole. The
    // inputs stay on disk, so the job can always be run again: the result is
    // not waited for on the disk.
    const auto whole = Wav16FileWriter::Durability::kWhole;
    std::optional<Wav16FileWriter> out = Wav16FileWriter::begin(outPath, mic->frames(), rate, whole);
    error = out ? 0 : errno;
    ProgressLine progress(micTrack.size(),
                          rate > 0.0 ? static_cast<double>(micTrack.size()) / rate : 0.0);
    WavSink sink(out, progress);
    const std::optional<AecStats> stats = canceller->process(micTrack, sysTrack, rate, sink);
    progress.stop();  // the line goes before the canceller's report
    reportAec(stats);
    // A track the canceller left alone, or whose result it rejected, is
    // written as it came, in a file begun afresh.
    if (!stats || !stats->applied) {
      out.reset();
      std::optional<Wav16FileWriter> again = Wav16FileWriter::begin(outPath, mic->frames(), rate, whole);
      error = again ? 0 : errno;
      if (again) out.emplace(std::move(*again));
      copyTrack(micTrack, sink);
    }
    if (out && !out->commit()) error = out->error() != 0 ? out->error() : EIO;
  }
  logErr("wrote cleaned mic → " + outPath);
  reportUnwritten(outPath, error);
  return 0;
}
