// The progress of a batch on a terminal, and the words of its summary.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace zezi {

// "1 envelope", "2 envelopes".
[[nodiscard]] std::string counted(std::size_t count, std::string_view thing);

// Rows done, rate and time left, redrawn in place on standard error when it is a terminal.
class ProgressBar {
 public:
  ProgressBar(const std::atomic<std::size_t>& done, std::size_t total);
  ~ProgressBar() { stop(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Ends the redrawing and clears its line.
  void stop();

 private:
  using Clock = std::chrono::steady_clock;

  void redraw();

  const std::atomic<std::size_t>& done_;
  std::size_t total_;
  Clock::time_point started_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
};

}  // namespace zezi
