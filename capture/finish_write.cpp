#include "capture/finish_write.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <span>
#include <utility>

#include "aec/echo_canceller.hpp"
#include "audio/sample_utils.hpp"
#include "audio/wav.hpp"
#include "capture/rate_text.hpp"
#include "base/console.hpp"

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

void logLevels(const char* name, std::span<const float> track) {
  logErr(formatLine("%s: %lld frames, peak %.3f, clip %.1f%%", name,
                    static_cast<long long>(track.size()), static_cast<double>(peak(track)),
                    static_cast<double>(clipPct(track))));
}

// Echo of the system audio removed from the microphone; the track is left as
// it was when the canceller cannot be had, runs out of memory or answers
// with another length.
void cancelEcho(std::vector<float>& mic, std::span<const float> sys, double rate,
                const CancellerFactory& makeCanceller) {
  std::vector<float> cleaned;
  try {
    std::unique_ptr<EchoCanceller> canceller = makeCanceller();
    if (!canceller) return;
    AecResult result = canceller->process(mic, sys, rate);
    if (result.stats) {
      const std::string line = formatAecLine(*result.stats);
      logErr(line);
      appendAecLog(line);
    }
    cleaned = std::move(result.cleaned);
  } catch (const std::bad_alloc&) {
    return;  // no room for the canceller's scratch: the files matter more
  }
  if (cleaned.size() != mic.size()) return;
  mic = std::move(cleaned);  // the raw track goes now, before the mix is made
  logErr(formatLine("echo cancellation applied (%lld frames)", static_cast<long long>(mic.size())));
}

// Sum of the two tracks, the shorter one padded with silence at its end.
std::vector<float> mixTracks(std::span<const float> sys, std::span<const float> mic) {
  std::vector<float> mix(std::max(sys.size(), mic.size()), 0.0f);
  for (size_t i = 0; i < sys.size(); ++i) mix[i] += sys[i];
  for (size_t i = 0; i < mic.size(); ++i) mix[i] += mic[i];
  return mix;
}

}  // namespace

bool writeRecording(RecordedTracks tracks, bool echoCancel, const std::string& outPath) {
  return writeRecording(std::move(tracks), echoCancel, outPath,
                        [] { return EchoCanceller::create(); });
}

bool writeRecording(RecordedTracks tracks, bool echoCancel, const std::string& outPath,
                    const CancellerFactory& makeCanceller) {
  std::vector<float>& sys = tracks.sys;
  std::vector<float>& mic = tracks.mic;
  const double sysRate = tracks.sysRate;
  const double micRate = tracks.micRate;

  double rate = kFallbackRate;
  if (!sys.empty()) {
    if (sysRate > 0) rate = sysRate;
    if (!mic.empty() && micRate > 0 && sysRate > 0 && std::fabs(micRate - sysRate) > kRateTolerance) {
      logErr("resampling mic " + rateText(micRate) + "Hz → " + rateText(sysRate) + "Hz");
      mic = resampleLinear(mic, micRate, sysRate);
    }
    if (echoCancel && !mic.empty()) cancelEcho(mic, sys, rate, makeCanceller);
  } else if (micRate > 0) {
    rate = micRate;
  }

  logLevels("sys", sys);
  logLevels("mic", mic);

  bool written = false;
  {
    std::vector<float> mix = mixTracks(sys, mic);
    normalizeInPlace(mix, kTargetPeak, kMaxGain, kMinPeak);
    written = writeWav16(mix, rate, outPath);
    logErr("wrote " + std::to_string(mix.size()) + " frames @ " + rateText(rate) + "Hz → " +
           outPath);
  }  // the mix is freed before the channel files are made

  if (sys.empty() || mic.empty()) return written;

  // The mix is made; nothing needs the tracks as they were, so each is
  // normalised in place rather than in a copy.
  normalizeInPlace(mic, kTargetPeak, kMaxGain, kMinPeak);
  normalizeInPlace(sys, kTargetPeak, kMaxGain, kMinPeak);
  const std::string micPath = channelPath(outPath, "mic");
  const std::string sysPath = channelPath(outPath, "sys");
  written = writeWav16(mic, rate, micPath) && written;
  written = writeWav16(sys, rate, sysPath) && written;
  logErr("wrote channels → " + micPath + " + " + sysPath);
  return written;
}
