#include "cli/batch/interrupt.h"

#include <atomic>
#include <cstddef>

namespace zezi {
namespace {

// Set by SIGINT or SIGTERM while a batch runs.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void noteInterrupt(int /*signal*/) {
  interrupted.store(true);
}

}  // namespace

InterruptCatcher::InterruptCatcher() {
  interrupted.store(false);
  struct sigaction action {};
  action.sa_handler = noteInterrupt;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    sigaction(kSignals[i], &action, &saved_[i]);
  }
}

InterruptCatcher::~InterruptCatcher() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    sigaction(kSignals[i], &saved_[i], nullptr);
  }
}

bool batchInterrupted() {
  return interrupted.load();
}

}  // namespace zezi
