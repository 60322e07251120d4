#pragma once

#include <string>
#include <vector>

// Where a recording keeps its tracks while it runs: a folder beside the
// output file, on the same filesystem, named after it ("call.wav" gives
// "call.wav.spool"), holding one float WAV per source ("sys.wav",
// "mic.wav") and the lock its recording holds ("lock", with the recording's
// process id). When that filesystem fills up, a track goes on in further
// parts ("sys.1.wav", "sys.2.wav", ...) in a fallback folder named after
// the output on another filesystem, and back beside the output when space
// returns; the parts, joined by their numbers, are the track. The spool
// outlives a killed recording and is removed once every output file of the
// finish is in place.
struct SpoolPaths {
  std::string dir;
  std::string sys;
  std::string mic;
  std::string lock;
  // Where the parts go when `dir` takes no more, in the order tried: the
  // user's state folder ($XDG_STATE_HOME/narup-capture, else
  // ~/.local/state/narup-capture), then /var/tmp/narup-capture-<uid>; each
  // holds a folder named after the output's absolute path.
  std::vector<std::string> fallbackDirs;
};

// The spool of the recording whose output path is `outPath`.
SpoolPaths spoolPaths(const std::string& outPath);

// The file of part `index` of the track `label` ("sys", "mic") in `dir`:
// part 0 is "sys.wav", part 1 "sys.1.wav".
std::string spoolPartPath(const std::string& dir, const std::string& label, int index);

// The parts of track `label` found in the spool's folders, in the order
// of their numbers (a number found twice counts once, the spool's own
// folder first).
struct SpoolPart {
  int index = 0;
  std::string path;
};
std::vector<SpoolPart> findSpoolParts(const SpoolPaths& paths, const std::string& label);

// Removes every part of both tracks, the lock and the folders (the
// fallback folders only when that leaves them empty); true when the
// spool's own folder is gone.
bool removeSpool(const SpoolPaths& paths);

// The folder that holds `path` ("." for a bare name).
std::string folderOf(const std::string& path);
