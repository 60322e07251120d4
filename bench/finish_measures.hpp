#pragma once

// What the finish benchmarks measure: memory from /proc, wall-clock time and
// when files were renamed into place.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// A field of /proc/self/status in MB ("VmRSS", "VmHWM").
inline double statusMB(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atof(line.c_str() + std::strlen(field) + 1) / 1024.0;
  return 0.0;
}

inline double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

inline double realNow() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The latest change time of the files (a rename sets it), on the clock of
// realNow; 0 when one of them is missing.
inline double latestChange(const std::vector<std::string>& paths) {
  double latest = 0.0;
  for (const std::string& path : paths) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0.0;
    latest = std::max(latest, static_cast<double>(st.st_ctim.tv_sec) + static_cast<double>(st.st_ctim.tv_nsec) * 1e-9);
  }
  return latest;
}

}  // namespace bench
