// speexdsp's MDF echo canceller (300 ms tail) with its residual echo
// suppressor, as a peer in the quality benchmark:
//   speex_runner mic.f32 sys.f32 out.f32 rate
// Prints the processor seconds the processing took (file I/O excluded).

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "peer_io.hpp"

namespace {
short toShort(float v) {
  const float s = std::round(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
  return static_cast<short>(s);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: speex_runner mic.f32 sys.f32 out.f32 rate\n");
    return 2;
  }
  std::vector<float> mic, sys;
  if (!readRawFloats(argv[1], mic) || !readRawFloats(argv[2], sys)) return 1;
  int rate = std::atoi(argv[4]);
  const int frame = rate / 100;  // 10 ms
  const int tail = rate * 3 / 10;
  sys.resize(mic.size(), 0.0f);
  std::vector<float> out(mic.size(), 0.0f);
  const std::clock_t start = std::clock();
  SpeexEchoState* echo = speex_echo_state_init(frame, tail);
  SpeexPreprocessState* pre = speex_preprocess_state_init(frame, rate);
  speex_echo_ctl(echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
  speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
  int off = 0;
  speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_DENOISE, &off);
  speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_AGC, &off);
  speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_DEREVERB, &off);
  std::vector<short> m(frame), r(frame), o(frame);
  for (size_t at = 0; at + static_cast<size_t>(frame) <= mic.size(); at += static_cast<size_t>(frame)) {
    for (int i = 0; i < frame; ++i) {
      m[i] = toShort(mic[at + i]);
      r[i] = toShort(sys[at + i]);
    }
    speex_echo_cancellation(echo, m.data(), r.data(), o.data());
    speex_preprocess_run(pre, o.data());
    for (int i = 0; i < frame; ++i) out[at + i] = static_cast<float>(o[i]) / 32768.0f;
  }
  speex_preprocess_state_destroy(pre);
  speex_echo_state_destroy(echo);
  const double took = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  if (!writeRawFloats(argv[3], out)) return 1;
  std::printf("seconds=%.4f\n", took);
  return 0;
}
