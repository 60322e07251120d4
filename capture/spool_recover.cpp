#include "capture/spool_recover.hpp"

#include <optional>
#include <string_view>
#include <vector>

#include "aec/echo_canceller.hpp"
#include "base/console.hpp"
#include "capture/finish_write.hpp"
#include "capture/float_track.hpp"
#include "capture/spool_claim.hpp"
#include "capture/spool_paths.hpp"

namespace {

// The failure line; the mode then ends with status 1.
int failLine(std::string_view message) {
  logFail(message);
  return 1;
}

// One source's track, its parts joined in the order of their numbers:
// absent when the source never delivered (no part); nothing read when a
// part is there but unusable.
struct SpoolTrack {
  bool present = false;
  std::optional<JoinedTrackSource> track;
  double rate = 0.0;
  std::string unreadable;  // the part that could not be read
};

SpoolTrack openSpoolTrack(const SpoolPaths& paths, const char* label) {
  const std::vector<SpoolPart> parts = findSpoolParts(paths, label);
  SpoolTrack result;
  result.present = !parts.empty();
  std::vector<FloatTrackSource> pieces;
  for (const SpoolPart& part : parts) {
    std::optional<SpooledTrack> piece = openSpooledTrack(part.path);
    if (!piece) {
      result.unreadable = part.path;
      return result;
    }
    // Every part states the rate of its time; the track's is the last one's,
    // as a recording's finish takes the rate of the last buffer.
    if (piece->rate > 0 || result.rate == 0.0) result.rate = piece->rate;
    pieces.push_back(std::move(piece->source));
  }
  if (result.present) result.track.emplace(std::move(pieces));
  return result;
}

}  // namespace

int recoverRecording(const std::string& outPath, bool echoCancel, bool adaptive,
                     const std::function<void()>& filesInPlace, std::optional<double> loudness) {
  const SpoolPaths paths = spoolPaths(outPath);
  const std::string noSpool = "no spool to recover for " + outPath + ": " + paths.dir;
  RecoveryClaim claim = lockSpoolForRecovery(outPath);
  if (!claim.failure.empty()) return failLine(claim.failure);
  if (!claim.lock) return failLine(noSpool);

  SpoolTrack sys = openSpoolTrack(paths, "sys");
  SpoolTrack mic = openSpoolTrack(paths, "mic");
  if (!sys.present && !mic.present) {
    // A recording stopped before either source delivered leaves an empty
    // folder; taking it away lets the next recording to this path start.
    removeSpool(paths);
    return failLine(noSpool + " holds no track");
  }
  for (const SpoolTrack* part : {&sys, &mic}) {
    if (!part->unreadable.empty()) return failLine("cannot read spool track: " + part->unreadable);
  }

  const FloatTrackSource none(-1, 0, 0, {});
  const TrackSources tracks{sys.track ? static_cast<const SampleSource&>(*sys.track) : none,
                            mic.track ? static_cast<const SampleSource&>(*mic.track) : none,
                            sys.rate, mic.rate, loudness};
  // The spool goes only once every output file is in place; otherwise it
  // stays for another try.
  const FinishReport report =
      writeRecording(tracks, echoCancel, outPath, [] { return EchoCanceller::create(); }, adaptive);
  reportUnwritten(report, outPath, paths.dir);
  if (!report.empty()) return 1;
  if (filesInPlace) filesInPlace();
  removeSpool(paths);
  return 0;
}
