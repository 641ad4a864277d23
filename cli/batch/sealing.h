// The second pass of a batch: the rows read again and sealed by several threads sharing one
// FleetSealer, each envelope written as it is sealed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

#include "base/bytes.h"
#include "cli/batch/plan.h"
#include "cli/batch/reader.h"
#include "cli/batch/runner.h"
#include "sealer/fleet_sealer.h"

namespace zezi {

// One row on its way to a sealing thread, with the file it goes to.
struct Job {
  BatchRow row;
  std::string path;
};

// Rows from the reading thread to the sealing threads. Bounded: the reader waits while it
// is full, and is woken only once half of it is free, so that it fills it in bursts rather
// than switching threads for every row.
class JobQueue {
 public:
  explicit JobQueue(std::size_t capacity) : capacity_(capacity) {}

  // False once the queue is abandoned.
  [[nodiscard]] bool push(Job job) {
    std::unique_lock lock(mutex_);
    notFull_.wait(lock, [this] { return abandoned_ || jobs_.size() < capacity_; });
    if (abandoned_) {
      return false;
    }
    jobs_.push_back(std::move(job));
    notEmpty_.notify_one();
    return true;
  }

  // False when no job is left and none will come.
  [[nodiscard]] bool pop(Job* job) {
    std::unique_lock lock(mutex_);
    notEmpty_.wait(lock, [this] { return !jobs_.empty() || finished_; });
    if (jobs_.empty()) {
      return false;
    }
    *job = std::move(jobs_.front());
    jobs_.pop_front();
    if (jobs_.size() <= capacity_ / 2) {
      notFull_.notify_one();
    }
    return true;
  }

  // No more jobs will come; those queued are still handed out.
  void finish() {
    const std::lock_guard lock(mutex_);
    finished_ = true;
    notEmpty_.notify_all();
  }

  // Stops at once: queued jobs are dropped and every wait ends.
  void abandon() {
    const std::lock_guard lock(mutex_);
    finished_ = true;
    abandoned_ = true;
    jobs_.clear();
    notEmpty_.notify_all();
    notFull_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  std::deque<Job, CleansingAllocator<Job>> jobs_;  // they hold PSKs and passphrases
  std::size_t capacity_;
  bool finished_ = false;
  bool abandoned_ = false;
};

// What the threads of one run share.
class SealingRun {
 public:
  SealingRun(const BatchOptions& options, const FleetSealer& sealer, std::size_t queueCapacity)
      : options_(options), sealer_(sealer), queue_(queueCapacity) {}

  // Reads the plan's rows again from `fd` and hands those not kept to `jobs` sealing
  // threads; returns when every thread has ended.
  void sealRows(int fd, unsigned jobs, const BatchPlan& plan);

  [[nodiscard]] const std::atomic<std::size_t>& written() const { return written_; }

  // False with the first failure, which stopped the run.
  [[nodiscard]] bool succeeded(std::string* error);

 private:
  [[nodiscard]] bool stopping() const;
  // One line of --list: "FILE:LINE<tab>envelope", whole whatever the other threads print.
  [[nodiscard]] bool listed(std::size_t line, const std::string& path);
  // Keeps the first failure and stops every thread.
  void fail(std::string message);
  // The body of each sealing thread.
  void sealQueued();

  const BatchOptions& options_;
  const FleetSealer& sealer_;
  JobQueue queue_;
  std::atomic<std::size_t> written_{0};
  std::atomic<bool> failed_{false};
  std::mutex failureMutex_;
  std::string failure_;
  std::mutex listMutex_;
};

}  // namespace zezi
