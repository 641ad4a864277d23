// How a batch is asked to stop: SIGINT or SIGTERM, caught while the batch runs.
#pragma once

#include <array>
#include <csignal>

namespace zezi {

// Catches SIGINT and SIGTERM while it lives, so that a run asked to stop finishes the
// envelopes in hand and removes its temporary files rather than dying midway.
class InterruptCatcher {
 public:
  InterruptCatcher();
  ~InterruptCatcher();
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;

 private:
  static constexpr std::array<int, 2> kSignals = {SIGINT, SIGTERM};
  std::array<struct sigaction, kSignals.size()> saved_{};
};

// Whether SIGINT or SIGTERM came since the latest InterruptCatcher was made.
[[nodiscard]] bool batchInterrupted();

}  // namespace zezi
