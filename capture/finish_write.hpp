#pragma once

#include <string>
#include <vector>

// The two tracks of a recording as the finish takes them, with their rates in
// Hz (0.0: that source never delivered a usable buffer).
struct RecordedTracks {
  std::vector<float> sys;
  std::vector<float> mic;
  double sysRate = 0.0;
  double micRate = 0.0;
};

// Brings the microphone to the system rate, cleans the echo of the system
// audio out of it (when echoCancel), prints the level lines, and writes the
// normalised mix to outPath and, when both tracks hold samples, each track
// normalised on its own beside it (".mic.wav", ".sys.wav"). Prints the
// "wrote" lines; ends nothing.
void writeRecording(RecordedTracks tracks, bool echoCancel, const std::string& outPath);
