#include "aec/stft_window.hpp"

#include <cmath>

StftWindow makeSqrtHannWindow() {
  StftWindow win{};
  for (int64_t i = 0; i < aec::kFrame; ++i) {
    // The literal 6.283185 rounded to float (not the float nearest 2*pi), and
    // 1/1024 exact, all in float: these are the values the window is defined by.
    const float theta = (static_cast<float>(i) * 6.283185f) * 0.0009765625f;
    win[static_cast<size_t>(i)] = std::sqrt(0.5f - std::cos(theta) * 0.5f);
  }
  return win;
}
