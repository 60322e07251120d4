#pragma once

#include <optional>
#include <string>

// Where a recording keeps its tracks while it runs: a folder beside the
// output file, on the same filesystem, named after it ("call.wav" gives
// "call.wav.spool"), holding one float WAV per source ("sys.wav",
// "mic.wav"). It outlives a killed recording and is removed once every
// output file of the finish is in place.
struct SpoolPaths {
  std::string dir;
  std::string sys;
  std::string mic;
};

// The spool of the recording whose output path is `outPath`.
SpoolPaths spoolPaths(const std::string& outPath);

// The failure text for a recording that finds the spool of an earlier one
// at its output path: it names the folder and the recovery command.
std::string earlierSpoolMessage(const std::string& outPath);

// Makes the spool folder of `outPath` before the recording starts. Returns
// earlierSpoolMessage() when the folder already exists (an earlier
// recording's tracks, left untouched); nothing otherwise, also when the
// folder cannot be made (each track then reports its own trouble and is
// kept in memory).
std::optional<std::string> claimSpool(const std::string& outPath);

// Removes both track files and the folder; true when the folder is gone.
bool removeSpool(const SpoolPaths& paths);
