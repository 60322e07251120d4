#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class EchoCanceller;
class SampleSource;

// The two tracks of a recording as the finish takes them, with their rates in
// Hz (0.0: that source never delivered a usable buffer).
struct RecordedTracks {
  std::vector<float> sys;
  std::vector<float> mic;
  double sysRate = 0.0;
  double micRate = 0.0;
};

// An output file of a finish that is not in place, and why (an errno).
struct UnwrittenFile {
  std::string path;
  int error = 0;
};
// Every file not in place; empty when all of them are.
using FinishReport = std::vector<UnwrittenFile>;

// The lines that follow a finish whose files are not all in place, one per
// file, naming the spool that keeps the take and the command that finishes
// it again.
void reportUnwritten(const FinishReport& report, const std::string& outPath,
                     const std::string& spoolDir);

// Brings the microphone to the system rate, cleans the echo of the system
// audio out of it (when echoCancel), prints the level lines, and writes the
// normalised mix to outPath and, when both tracks hold samples, each track
// normalised on its own beside it (".mic.wav", ".sys.wav"; the format and
// extension follow outPath's, see TrackWriter). Prints the
// "wrote" lines; ends nothing. Says which files are not in place (a failed
// write changes none of those lines).
FinishReport writeRecording(RecordedTracks tracks, bool echoCancel, const std::string& outPath);

// Makes the canceller for one recording; nullptr when it cannot be set up.
using CancellerFactory = std::function<std::unique_ptr<EchoCanceller>()>;

// The same with the canceller's maker supplied (the recording's own is
// EchoCanceller::create): a canceller that cannot be had leaves the
// microphone as it is, without a message; so does a canceller that runs out
// of memory.
FinishReport writeRecording(RecordedTracks tracks, bool echoCancel, const std::string& outPath,
                            const CancellerFactory& makeCanceller);

// The two tracks read where they lie (the spool's files), with their rates:
// the finish proper, which the forms above run over tracks in memory. The
// tracks are read a stretch at a time: the levels and peaks are taken as
// the canceller hands over the cleaned microphone (which goes to an unnamed
// file in the output's folder), or in a pass of their own without it; then
// one pass writes the three files. Memory stays the same whatever the
// recording's length.
struct TrackSources {
  const SampleSource& sys;
  const SampleSource& mic;
  double sysRate = 0.0;
  double micRate = 0.0;
  // Each file levelled to this integrated loudness (LUFS) in place of the
  // peak normalisation, with a "loudness: " line each instead.
  std::optional<double> loudness = std::nullopt;
};
// With `adaptive`, the adaptive canceller cleans the microphone instead of
// the one `makeCanceller` makes (streamed as well, a few two-minute
// segments held at a time).
FinishReport writeRecording(const TrackSources& tracks, bool echoCancel, const std::string& outPath,
                            const CancellerFactory& makeCanceller, bool adaptive = false);
