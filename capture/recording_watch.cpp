#include "capture/recording_watch.hpp"

#include <sys/statvfs.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <utility>

#include "base/console.hpp"
#include "base/status_line.hpp"
#include "capture/recording_monitor.hpp"
#include "platform/dispatch/ticker.hpp"

namespace {

// Four looks a second: a level meter that moves, and no more lines than a
// terminal can show without flicker.
constexpr std::chrono::milliseconds kPeriod{250};
// A look this long after the one before means the process itself was not
// running (stopped by Ctrl-Z or SIGSTOP, or the whole machine asleep): four
// periods missed, half of the time a source may go without delivering.
constexpr double kStoppedSeconds = 1.0;

std::string folderOf(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

std::optional<uint64_t> freeBytesIn(const std::string& folder) {
  struct statvfs fs{};
  if (::statvfs(folder.c_str(), &fs) != 0) return std::nullopt;
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

}  // namespace

RecordingWatch::RecordingWatch(RecordingMonitor& monitor, std::string outPath,
                               std::function<uint64_t()> spoolBytes)
    : monitor_(monitor),
      folder_(folderOf(outPath)),
      spoolBytes_(std::move(spoolBytes)),
      terminal_(stderrIsTerminal()),
      lastLook_(monitor.elapsed()),
      ticker_(std::make_unique<Ticker>(kPeriod, [this] { tick(); })) {}

RecordingWatch::~RecordingWatch() { stop(); }

void RecordingWatch::stop() {
  if (ticker_) ticker_->stop();
  if (terminal_) clearStatusLine();
}

void RecordingWatch::tick() {
  const double now = monitor_.elapsed();
  if (now - lastLook_ >= kStoppedSeconds) monitor_.processResumed(lastLook_, now);
  lastLook_ = now;
  const std::optional<uint64_t> freeBytes = freeBytesIn(folder_);
  for (const std::string& warning : monitor_.dueWarnings(now, freeBytes)) logErr(warning);
  if (terminal_) showStatusLine(monitor_.statusText(now, spoolBytes_ ? spoolBytes_() : 0, freeBytes));
}
