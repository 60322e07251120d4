#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

class EchoCanceller;

// The "--process-files" mode: reads the microphone and system WAV files,
// cleans the microphone track against the system track with one
// EchoCanceller and writes the result to `outPath` at the microphone's rate.
// Returns the exit status: 0 after writing, 1 after the failure line when an
// input is unusable or the canceller cannot be set up (the output path is
// then left untouched). With `adaptive`, the adaptive canceller cleans the
// track instead, streamed as well. The output's ending picks its format
// (see TrackWriter); with `loudness` the cleaned track is levelled to that
// integrated loudness (LUFS) first, with its line.
int processFiles(const std::string& micPath, const std::string& sysPath,
                 const std::string& outPath, bool adaptive = false,
                 std::optional<double> loudness = std::nullopt);

// The same with the canceller taken from `makeCanceller` (nullptr means it
// could not be set up), so that its failure path can be exercised.
int processFilesWith(const std::string& micPath, const std::string& sysPath,
                     const std::string& outPath,
                     const std::function<std::unique_ptr<EchoCanceller>()>& makeCanceller,
                     std::optional<double> loudness = std::nullopt);
