#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "aec/delay_track.hpp"

// What one run of the canceller found and counted, as its diagnostics line
// reports it.
struct AecStats {
  double sampleRate = 0.0;
  std::vector<DelaySeg> segs;  // the delay track
  int64_t frames = 0;          // frames processed
  int64_t farEnd = 0;          // frames with an active reference
  int64_t active = 0;          // frames in which at least one bin was attenuated
  float cohSum = 0.0f;         // sum of each frame's largest coherence
  float cohMax = 0.0f;         // largest coherence of any frame
  bool applied = false;        // the cleaned track passed the sanity check
  float meanSquareOriginal = 0.0f;  // of the microphone track
  float meanSquareCleaned = 0.0f;   // of the cleaned track (before any revert)
};

// The "[aec] ..." summary line (without the tool prefix and line end);
// stats.frames must be at least 1.
std::string formatAecLine(const AecStats& stats);

// The diagnostics log: ".narup-aec.log" in the user's home directory ($HOME,
// else the password database entry); empty when no home directory is known.
std::string aecLogPath();

// Appends line + "\n" to the diagnostics log, creating it when absent. Every
// failure is ignored.
void appendAecLog(std::string_view line);
