#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// Deterministic white noise in [-amplitude, amplitude).
inline std::vector<float> whiteNoise(size_t count, float amplitude, uint64_t seed) {
  std::vector<float> out(count);
  uint64_t state = seed;
  for (float& v : out) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const float u = static_cast<float>(static_cast<uint32_t>(state >> 32)) * 2.3283064e-10f;
    v = amplitude * (u * 2.0f - 1.0f);
  }
  return out;
}

// out[i] = gain * in[i - delay] (0 where that index does not exist); a
// negative delay makes the output lead the input.
inline std::vector<float> delayed(const std::vector<float>& in, int64_t delay, float gain) {
  std::vector<float> out(in.size(), 0.0f);
  for (int64_t i = 0; i < static_cast<int64_t>(in.size()); ++i) {
    const int64_t j = i - delay;
    if (j >= 0 && j < static_cast<int64_t>(in.size())) out[static_cast<size_t>(i)] = gain * in[static_cast<size_t>(j)];
  }
  return out;
}

// Points HOME at a fresh temporary folder for the life of the object.
class ScopedHome {
 public:
  ScopedHome() {
    char tmpl[] = "/tmp/narup_aec_home.XXXXXX";
    dir_ = mkdtemp(tmpl);
    if (const char* old = std::getenv("HOME")) {
      hadOld_ = true;
      old_ = old;
    }
    setenv("HOME", dir_.c_str(), 1);
  }
  ~ScopedHome() {
    if (hadOld_) setenv("HOME", old_.c_str(), 1);
    else unsetenv("HOME");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& dir() const { return dir_; }
  std::string logPath() const { return dir_ + "/.narup-aec.log"; }

 private:
  std::string dir_;
  std::string old_;
  bool hadOld_ = false;
};
