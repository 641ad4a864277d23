#include "cli/batch/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zezi {
namespace {

constexpr auto kProgressPeriod = std::chrono::milliseconds(200);
constexpr std::size_t kProgressBarWidth = 20;
constexpr long kSecondsPerMinute = 60;

}  // namespace

std::string counted(std::size_t count, std::string_view thing) {
  return std::to_string(count) + " " + std::string(thing) + (count == 1 ? "" : "s");
}

ProgressBar::ProgressBar(const std::atomic<std::size_t>& done, std::size_t total)
    : done_(done), total_(total), started_(Clock::now()) {
  if (isatty(STDERR_FILENO) == 1 && total_ > 0) {
    thread_ = std::thread([this] { redraw(); });
  }
}

void ProgressBar::stop() {
  if (!thread_.joinable()) {
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  wake_.notify_all();
  thread_.join();
  static_cast<void>(std::fputs("\r\033[K", stderr));
}

void ProgressBar::redraw() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, kProgressPeriod, [this] { return stopped_; })) {
    const std::size_t done = std::min(done_.load(), total_);
    const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const long left = rate > 0 ? std::lround(static_cast<double>(total_ - done) / rate) : 0;
    const std::size_t filled = done * kProgressBarWidth / total_;
    // A progress line that cannot be written is no reason to stop.
    static_cast<void>(std::fprintf(stderr, "\r%zu/%zu [%s%s] %.0f/s, %ld:%02ld left\033[K", done,
                                   total_, std::string(filled, '#').c_str(),
                                   std::string(kProgressBarWidth - filled, '.').c_str(), rate,
                                   left / kSecondsPerMinute, left % kSecondsPerMinute));
    static_cast<void>(std::fflush(stderr));
  }
}

}  // namespace zezi
