#include "base/temp_files.hpp"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <utility>

namespace {

constexpr int kSlots = 16;
constexpr std::size_t kPathBytes = 4096;

// A slot is taken by a compare-and-swap of `state`; the path is written
// before the slot is marked full, so a signal handler reads either nothing
// or a whole path.
enum : int { kFree = 0, kFilling = 1, kFull = 2 };

struct Slot {
  std::atomic<int> state{kFree};
  char path[kPathBytes];
};
Slot gSlots[kSlots];

}  // namespace

TemporaryFileMark::TemporaryFileMark(const std::string& path) {
  if (path.size() + 1 > kPathBytes) return;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!gSlots[i].state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(gSlots[i].path, path.c_str(), path.size() + 1);
    gSlots[i].state.store(kFull);
    slot_ = i;
    return;
  }
}

TemporaryFileMark::~TemporaryFileMark() {
  if (slot_ >= 0) gSlots[slot_].state.store(kFree);
}

TemporaryFileMark::TemporaryFileMark(TemporaryFileMark&& other) noexcept
    : slot_(std::exchange(other.slot_, -1)) {}

TemporaryFileMark& TemporaryFileMark::operator=(TemporaryFileMark&& other) noexcept {
  if (this != &other) {
    if (slot_ >= 0) gSlots[slot_].state.store(kFree);
    slot_ = std::exchange(other.slot_, -1);
  }
  return *this;
}

void removeTemporaryFilesNow() {
  for (Slot& slot : gSlots) {
    if (slot.state.load() == kFull) ::unlink(slot.path);
  }
}
