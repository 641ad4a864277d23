#include "cli/batch_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/exit_status.h"
#include "cli/atomic_file.h"
#include "cli/batch_reader.h"
#include "cli/diagnostics.h"
#include "cli/key_loading.h"
#include "cli/wpa_psk.h"
#include "sealer/fleet_sealer.h"

namespace zezi {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr mode_t kEnvelopeMode = 0644;
constexpr mode_t kFolderMode = 0755;
// Rows read ahead per sealing thread: enough to keep every thread busy, few enough that a
// long file never waits in memory.
constexpr std::size_t kRowsQueuedPerJob = 16;
constexpr auto kProgressPeriod = std::chrono::milliseconds(200);
constexpr std::size_t kProgressBarWidth = 20;
constexpr long kSecondsPerMinute = 60;
// 64-bit FNV-1a, for the fingerprints of file names.
constexpr std::uint64_t kFnvOffsetBasis = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;
// Names that Windows reserves for devices whatever the extension, on a USB stick too.
constexpr std::array<std::string_view, 22> kReservedNames = {
    "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
    "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};

// Set by SIGINT or SIGTERM while a batch runs.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void noteInterrupt(int /*signal*/) {
  interrupted.store(true);
}

// Catches SIGINT and SIGTERM while it lives, so that a run asked to stop finishes the
// envelopes in hand and removes its temporary files rather than dying midway.
class InterruptCatcher {
 public:
  InterruptCatcher() {
    interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      sigaction(kSignals[i], &action, &saved_[i]);
    }
  }
  ~InterruptCatcher() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      sigaction(kSignals[i], &saved_[i], nullptr);
    }
  }
  InterruptCatcher(const InterruptCatcher&) = delete;
  InterruptCatcher& operator=(const InterruptCatcher&) = delete;

 private:
  static constexpr std::array<int, 2> kSignals = {SIGINT, SIGTERM};
  std::array<struct sigaction, kSignals.size()> saved_{};
};

char lowerCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool keptInName(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return lowerCase(c); });
  return lower;
}

std::uint64_t fingerprint(std::string_view text) {
  return std::accumulate(text.begin(), text.end(), kFnvOffsetBasis, [](std::uint64_t hash, char c) {
    return (hash ^ static_cast<unsigned char>(c)) * kFnvPrime;
  });
}

// "FILE:LINE: reason", or "FILE: reason" for the file as a whole.
std::string where(const std::string& path, const BatchError& error) {
  std::string text = path;
  if (error.line != 0) {
    text += ':';
    text += std::to_string(error.line);
  }
  text += ": ";
  text += error.reason;
  return text;
}

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
class Run {
 public:
  Run(const SealOptions& options, const FleetSealer& sealer, std::size_t queueCapacity)
      : options_(options), sealer_(sealer), queue_(queueCapacity) {}

  [[nodiscard]] JobQueue& queue() { return queue_; }
  [[nodiscard]] const std::atomic<std::size_t>& written() const { return written_; }

  [[nodiscard]] bool stopping() const { return failed_.load() || interrupted.load(); }

  // Keeps the first failure and stops every thread.
  void fail(std::string message) {
    {
      const std::lock_guard lock(failureMutex_);
      if (!failed_.load()) {
        failure_ = std::move(message);
        failed_.store(true);
      }
    }
    queue_.abandon();
  }

  [[nodiscard]] std::optional<std::string> failure() {
    const std::lock_guard lock(failureMutex_);
    return failed_.load() ? std::optional(failure_) : std::nullopt;
  }

  // The body of each sealing thread.
  void sealRows() {
    Job job;
    std::string envelope;
    std::string error;
    while (!stopping() && queue_.pop(&job)) {
      const BatchRow& row = job.row;
      const SecretText psk =
          row.isPassphrase ? wpaPskFromPassphrase(row.secret, row.ssid) : row.secret;
      if (psk.empty()) {
        fail(where(options_.batchPath, {row.line, "cannot derive the psk from the passphrase"}));
        break;
      }
      if (!sealer_.seal(row.ssid, psk, &envelope, &error)) {
        fail(where(options_.batchPath, {row.line, error}));
        break;
      }
      // The folder is flushed once, after the last file.
      StagedFile file;
      if (!file.stage(job.path, envelope, kEnvelopeMode, &error) ||
          !file.commit(options_.force, &error, /*flush=*/false)) {
        fail(error);
        break;
      }
      written_.fetch_add(1);
    }
    if (interrupted.load()) {
      queue_.abandon();  // wakes a reader waiting for room
    }
  }

 private:
  const SealOptions& options_;
  const FleetSealer& sealer_;
  JobQueue queue_;
  std::atomic<std::size_t> written_{0};
  std::atomic<bool> failed_{false};
  std::mutex failureMutex_;
  std::string failure_;
};

// Rows done, rate and time left, redrawn in place on standard error when it is a terminal.
class ProgressBar {
 public:
  ProgressBar(const std::atomic<std::size_t>& done, std::size_t total)
      : done_(done), total_(total), started_(Clock::now()) {
    if (isatty(STDERR_FILENO) == 1) {
      thread_ = std::thread([this] { redraw(); });
    }
  }
  ~ProgressBar() { stop(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void stop() {
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

 private:
  void redraw() {
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

  const std::atomic<std::size_t>& done_;
  std::size_t total_;
  Clock::time_point started_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
};

// Reads every row once and gives out every name without writing: the first bad row, or a
// file that exists and may not be replaced, is reported. The number of rows on success.
[[nodiscard]] bool checkRows(const SealOptions& options, int fd, std::size_t* rows,
                             std::string* error) {
  BatchReader reader(readFromFd(fd));
  EnvelopeNames names;
  BatchRow row;
  BatchError bad;
  std::size_t count = 0;
  for (;;) {
    const BatchReader::Step step = reader.next(&row, &bad);
    if (step == BatchReader::Step::kEnd) {
      break;
    }
    if (step == BatchReader::Step::kError) {
      *error = where(options.batchPath, bad);
      return false;
    }
    const std::string target = (fs::path(options.outDir) / names.claim(row.ssid)).string();
    std::error_code ignored;
    if (!options.force && fs::symlink_status(target, ignored).type() != fs::file_type::not_found) {
      *error = where(options.batchPath, {row.line, existsMessage(target)});
      return false;
    }
    ++count;
    if (interrupted.load()) {
      *error = "interrupted before anything was written";
      return false;
    }
  }
  if (count == 0) {
    *error = where(options.batchPath, {0, "holds no rows"});
    return false;
  }
  *rows = count;
  return true;
}

// Reads the `rows` rows again and hands them to `jobs` sealing threads.
void sealRows(const SealOptions& options, int fd, unsigned jobs, std::size_t rows, Run* run) {
  std::vector<std::thread> sealers;
  sealers.reserve(jobs);
  try {
    for (unsigned i = 0; i < jobs; ++i) {
      sealers.emplace_back([run] { run->sealRows(); });
    }
  } catch (const std::system_error&) {
    run->fail("cannot start " + std::to_string(jobs) + " threads");
  }
  const std::string changed = options.batchPath + " changed while it was read";
  BatchReader reader(readFromFd(fd));
  EnvelopeNames names;
  BatchRow row;
  BatchError bad;
  for (std::size_t given = 0; !run->stopping(); ++given) {
    const BatchReader::Step step = reader.next(&row, &bad);
    if (step == BatchReader::Step::kEnd) {
      if (given != rows) {
        run->fail(changed);
      }
      break;
    }
    if (step == BatchReader::Step::kError || given == rows) {
      run->fail(changed);
      break;
    }
    std::string target = (fs::path(options.outDir) / names.claim(row.ssid)).string();
    if (!run->queue().push({std::move(row), std::move(target)})) {
      break;
    }
  }
  if (interrupted.load()) {
    run->queue().abandon();
  } else {
    run->queue().finish();
  }
  for (std::thread& sealer : sealers) {
    sealer.join();
  }
}

}  // namespace

std::string EnvelopeNames::claim(std::string_view ssid) {
  std::string base(ssid.size(), '_');
  std::transform(ssid.begin(), ssid.end(), base.begin(),
                 [](char c) { return keptInName(c) ? c : '_'; });
  if (base.empty()) {
    base.assign(1, '_');
  } else if (base.front() == '.') {
    base.front() = '_';  // no hidden files, and never "." or ".."
  }
  if (std::find(kReservedNames.begin(), kReservedNames.end(), lowerCase(base)) !=
      kReservedNames.end()) {
    base.push_back('_');
  }
  for (std::size_t n = 1;; ++n) {
    std::string name = n == 1 ? base : base + "-" + std::to_string(n);
    if (taken_.insert(fingerprint(lowerCase(name))).second) {
      return name + ".json";
    }
  }
}

int runBatch(const SealOptions& options) {
  const Clock::time_point started = Clock::now();
  const std::string& path = options.batchPath;
  if (path == "-") {
    return reportFailure("--batch needs a file, which is read twice, not standard input",
                         kExitUsage);
  }
  Bytes fleetKey;
  std::string error;
  if (!loadFleetKey(options.fleetKey, &fleetKey, &error)) {
    return reportFailure(error);
  }
  const std::unique_ptr<FleetSealer> sealer = FleetSealer::create(fleetKey, &error);
  if (!sealer) {
    return reportFailure(error);
  }
  const UniqueFd batch(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (batch.get() < 0 || fstat(batch.get(), &info) != 0) {
    return reportFailure(systemError("cannot read " + path));
  }
  if (!S_ISREG(info.st_mode)) {
    return reportFailure(path + " is not a regular file");
  }
  // As ssh does with private keys: secrets others can read are secrets no longer.
  if ((info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    return reportFailure(path + " is readable by group or others (chmod 600 it)");
  }
  std::error_code ignored;
  const fs::file_status folder = fs::status(options.outDir, ignored);
  if (fs::exists(folder) && !fs::is_directory(folder)) {
    return reportFailure(options.outDir + " is not a folder");
  }

  const InterruptCatcher catcher;
  std::size_t rows = 0;
  if (!checkRows(options, batch.get(), &rows, &error)) {
    return reportFailure(error);
  }
  if (!fs::exists(folder) && mkdir(options.outDir.c_str(), kFolderMode) != 0) {
    return reportFailure(systemError("cannot create folder " + options.outDir));
  }
  if (lseek(batch.get(), 0, SEEK_SET) != 0) {
    return reportFailure(systemError("cannot read " + path));
  }

  const unsigned jobs =
      options.jobs != 0 ? options.jobs : std::max(1U, std::thread::hardware_concurrency());
  Run run(options, *sealer, jobs * kRowsQueuedPerJob);
  ProgressBar progress(run.written(), rows);
  sealRows(options, batch.get(), jobs, rows, &run);
  progress.stop();

  // One flush of the folder makes every rename of the run last.
  const bool flushed = flushFolder(options.outDir, &error);
  const std::size_t written = run.written().load();
  const std::string tally =
      std::to_string(written) + " of " + std::to_string(rows) + " envelopes written";
  if (const std::optional<std::string> failure = run.failure()) {
    return reportFailure(*failure + " (" + tally + ")");
  }
  if (written < rows) {
    return reportFailure("interrupted: " + tally);
  }
  if (!flushed) {
    return reportFailure(error);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  if (std::printf("sealed %zu envelopes into %s in %.2f s with %u jobs\n", rows,
                  options.outDir.c_str(), seconds, jobs) < 0 ||
      std::fflush(stdout) != 0) {
    return reportFailure("cannot write standard output");
  }
  return kExitOk;
}

}  // namespace zezi
