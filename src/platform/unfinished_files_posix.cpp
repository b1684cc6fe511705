#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "platform/unfinished_files.h"

namespace {

// A fixed table, so that a signal handler can walk it without locks or allocation. Each
// slot moves free -> filling -> held -> free for its owner; the removal at the end moves
// held -> claimed and never gives the slot back, so a path is not rewritten under it.
enum State : int { kFree, kFilling, kHeld, kClaimed };

struct Slot {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads the slot states");

// Files are written one at a time, a message with several large values holds one
// temporary each: a handful is plenty.
constexpr int kSlots = 32;
Slot slots[kSlots];

}  // namespace

RemovedIfKilled::RemovedIfKilled(const std::string& path) {
  if (path.size() >= PATH_MAX) return;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
    slots[i].state.store(kHeld);
    slot_ = i;
    return;
  }
}

RemovedIfKilled::~RemovedIfKilled() {
  release();
}

RemovedIfKilled::RemovedIfKilled(RemovedIfKilled&& other) noexcept
    : slot_(std::exchange(other.slot_, -1)) {}

RemovedIfKilled& RemovedIfKilled::operator=(RemovedIfKilled&& other) noexcept {
  if (this != &other) {
    release();
    slot_ = std::exchange(other.slot_, -1);
  }
  return *this;
}

void RemovedIfKilled::release() noexcept {
  if (slot_ < 0) return;
  int expected = kHeld;
  // Fails only when the process is already ending and the removal has the slot.
  slots[slot_].state.compare_exchange_strong(expected, kFree);
  slot_ = -1;
}

void removeUnfinishedFiles() noexcept {
  for (Slot& slot : slots) {
    int expected = kHeld;
    if (slot.state.compare_exchange_strong(expected, kClaimed)) ::unlink(slot.path);
  }
}
