// Runs the adaptive echo canceller on WAV files for the quality benchmark:
//   adaptive_runner mic.wav sys.wav out.wav
// writes the cleaned microphone track and prints, on standard output, the
// processor seconds the cancellation took (file reading and writing excluded) and
// the canceller's diagnostics line. It cleans on one thread: the benchmark's
// speed is per thread.

#include <ctime>
#include <cstdio>
#include <string>

#include "aec/adaptive_canceller.hpp"
#include "audio/wav_reader.hpp"
#include "audio/wav_writer.hpp"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: adaptive_runner mic.wav sys.wav out.wav\n");
    return 2;
  }
  const std::optional<WavTrack> mic = readWav16(argv[1]);
  const std::optional<WavTrack> sys = readWav16(argv[2]);
  if (!mic || !sys) {
    std::fprintf(stderr, "adaptive_runner: cannot read %s\n", mic ? argv[2] : argv[1]);
    return 1;
  }
  const std::clock_t start = std::clock();
  std::optional<AdaptiveResult> result = cancelEchoAdaptive(mic->samples, sys->samples, mic->rate, 1);
  const double took = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  if (!result) {
    std::fprintf(stderr, "adaptive_runner: the canceller could not be set up\n");
    return 1;
  }
  writeWav16(result->track, mic->rate, argv[3]);
  std::printf("seconds=%.4f\n%s\n", took,
              formatAdaptiveDiagnostics(result->stats, mic->rate).c_str());
  return 0;
}
