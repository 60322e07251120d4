#include "modes/process_files.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "aec/echo_canceller.hpp"
#include "audio/wav.hpp"
#include "base/console.hpp"

namespace {

long long truncatedRate(double rate) { return static_cast<long long>(rate); }

// The failure line; the mode ends with status 1.
int failed(const std::string& message) {
  logFail(message);
  return 1;
}

}  // namespace

int processFiles(const std::string& micPath, const std::string& sysPath,
                 const std::string& outPath) {
  return processFilesWith(micPath, sysPath, outPath, [] { return EchoCanceller::create(); });
}

int processFilesWith(const std::string& micPath, const std::string& sysPath,
                     const std::string& outPath,
                     const std::function<std::unique_ptr<EchoCanceller>()>& makeCanceller) {
  // The microphone is read first, so that it is the one reported when both
  // files are unusable; the canceller is only set up once both are in.
  std::optional<WavTrack> mic = readWav16(micPath);
  if (!mic) return failed("cannot read mic wav: " + micPath);
  std::optional<WavTrack> sys = readWav16(sysPath);
  if (!sys) return failed("cannot read sys wav: " + sysPath);
  std::unique_ptr<EchoCanceller> canceller = makeCanceller();
  if (!canceller) return failed("EchoCanceller init failed");

  logErr(formatLine("process-files: mic %zu@%lld + sys %zu@%lld", mic->samples.size(),
                    truncatedRate(mic->rate), sys->samples.size(), truncatedRate(sys->rate)));

  // The system track is taken at the microphone's rate, whatever its own:
  // nothing converts it.
  const double rate = mic->rate;
  AecResult result = canceller->process(mic->samples, sys->samples, rate);
  if (result.stats) {
    const std::string line = formatAecLine(*result.stats);
    logErr(line);
    appendAecLog(line);
  }
  std::vector<float> cleaned = std::move(result.cleaned);
  // Only the cleaned track is needed from here: the inputs and the
  // canceller's transforms go before the file buffer is built.
  canceller.reset();
  mic.reset();
  sys.reset();

  writeWav16(cleaned, rate, outPath);
  logErr("wrote cleaned mic → " + outPath);
  return 0;
}
