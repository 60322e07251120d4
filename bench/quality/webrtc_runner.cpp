// WebRTC's echo canceller (audio processing module, extended filter and
// delay-agnostic mode, since the playback delay is not known to it), as a
// peer in the quality benchmark:
//   webrtc_runner mic.f32 sys.f32 out.f32 rate
// Prints the processor seconds the processing took (file I/O excluded).

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "peer_io.hpp"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: webrtc_runner mic.f32 sys.f32 out.f32 rate\n");
    return 2;
  }
  std::vector<float> mic, sys;
  if (!readRawFloats(argv[1], mic) || !readRawFloats(argv[2], sys)) return 1;
  const int rate = std::atoi(argv[4]);
  const size_t frame = static_cast<size_t>(rate / 100);  // 10 ms
  sys.resize(mic.size(), 0.0f);
  std::vector<float> out(mic.size(), 0.0f);
  const std::clock_t start = std::clock();
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
  std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
  apm->echo_cancellation()->enable_drift_compensation(false);
  apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kModerateSuppression);
  apm->echo_cancellation()->Enable(true);
  apm->high_pass_filter()->Enable(false);
  apm->noise_suppression()->Enable(false);
  apm->gain_control()->Enable(false);
  const webrtc::StreamConfig stream(rate, 1);
  for (size_t at = 0; at + frame <= mic.size(); at += frame) {
    const float* r = sys.data() + at;
    float* rOut = sys.data() + at;
    apm->ProcessReverseStream(&r, stream, stream, &rOut);
    apm->set_stream_delay_ms(0);
    const float* m = mic.data() + at;
    float* o = out.data() + at;
    apm->ProcessStream(&m, stream, stream, &o);
  }
  const double took = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  if (!writeRawFloats(argv[3], out)) return 1;
  std::printf("seconds=%.4f\n", took);
  return 0;
}
