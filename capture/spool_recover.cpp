#include "capture/spool_recover.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>

#include "aec/echo_canceller.hpp"
#include "base/console.hpp"
#include "capture/finish_write.hpp"
#include "capture/float_track.hpp"
#include "capture/spool_paths.hpp"

namespace {

// The failure line; the mode then ends with status 1.
int failLine(std::string_view message) {
  logFail(message);
  return 1;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// One source's track: absent when the source never delivered (no file);
// nothing read when the file is there but unusable.
struct SpoolTrack {
  bool present = false;
  std::optional<SpooledTrack> track;
};

SpoolTrack openSpoolTrack(const std::string& path) {
  if (!exists(path)) return {};
  return {true, openSpooledTrack(path)};
}

}  // namespace

int recoverRecording(const std::string& outPath, bool echoCancel, bool adaptive) {
  const SpoolPaths paths = spoolPaths(outPath);
  const std::string noSpool = "no spool to recover for " + outPath + ": " + paths.dir;
  struct stat st {};
  if (::stat(paths.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return failLine(noSpool);

  SpoolTrack sys = openSpoolTrack(paths.sys);
  SpoolTrack mic = openSpoolTrack(paths.mic);
  if (!sys.present && !mic.present) {
    // A recording stopped before either source delivered leaves an empty
    // folder; taking it away lets the next recording to this path start.
    ::rmdir(paths.dir.c_str());
    return failLine(noSpool + " holds no track");
  }
  for (const auto* part : {&sys, &mic}) {
    if (part->present && !part->track)
      return failLine("cannot read spool track: " + (part == &sys ? paths.sys : paths.mic));
  }

  const FloatTrackSource none(-1, 0, 0, {});
  const TrackSources tracks{sys.track ? sys.track->source : none, mic.track ? mic.track->source : none,
                            sys.track ? sys.track->rate : 0.0, mic.track ? mic.track->rate : 0.0};
  // The spool goes only once every output file is in place; otherwise it
  // stays for another try.
  if (writeRecording(tracks, echoCancel, outPath, [] { return EchoCanceller::create(); }, adaptive))
    removeSpool(paths);
  return 0;
}
