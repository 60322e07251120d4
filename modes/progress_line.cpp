#include "modes/progress_line.hpp"

#include <algorithm>

#include "base/console.hpp"
#include "base/status_line.hpp"

namespace {

// Four updates a second move smoothly without costing the job anything.
constexpr std::chrono::milliseconds kRedrawEvery{250};

}  // namespace

ProgressLine::ProgressLine(int64_t total, double seconds)
    : total_(total), shown_(seconds > kMinimumSeconds && total > 0 && stderrIsTerminal()) {}

ProgressLine::~ProgressLine() { stop(); }

void ProgressLine::stop() {
  if (shown_) clearStatusLine();
  shown_ = false;
}

void ProgressLine::advance(int64_t units) {
  done_ += units;
  if (!shown_) return;
  const Clock::time_point now = Clock::now();
  if (now - lastDrawn_ < kRedrawEvery) return;
  lastDrawn_ = now;
  showStatusLine(text(done_, total_, std::chrono::duration<double>(now - start_).count()));
}

std::string ProgressLine::text(int64_t done, int64_t total, double elapsed) {
  const double fraction = std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0);
  std::string line = formatLine("cleaning: %3.0f%%", fraction * 100.0);
  // The rate so far predicts the rest; nothing to say before a first stretch.
  if (fraction > 0.0 && elapsed > 0.0) {
    const long long left = static_cast<long long>(elapsed * (1.0 - fraction) / fraction + 0.5);
    line += formatLine(", %lld:%02lld left", left / 60, left % 60);
  }
  return line;
}
