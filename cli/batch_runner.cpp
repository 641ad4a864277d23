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
#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/batch_reader.h"
#include "cli/diagnostics.h"
#include "cli/key_loading.h"
#include "cli/secret_input.h"
#include "cli/wpa_psk.h"
#include "opener/open_envelope.h"
#include "opener/open_failure.h"
#include "sealer/fleet_sealer.h"

namespace zezi {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr mode_t kEnvelopeMode = 0644;
// Rows read ahead per sealing thread: enough to keep every thread busy, few enough that a
// long file never waits in memory.
constexpr std::size_t kRowsQueuedPerJob = 16;
constexpr auto kProgressPeriod = std::chrono::milliseconds(200);
constexpr std::size_t kProgressBarWidth = 20;
constexpr long kSecondsPerMinute = 60;
// 64-bit FNV-1a, for the fingerprints of file names.
constexpr std::uint64_t kFnvOffsetBasis = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;
constexpr int kFingerprintHalf = 32;
constexpr std::size_t kNameHashDigits = 8;
// Names that Windows reserves for devices whatever follows the first dot, on a USB stick
// too. The forms with superscript digits never arise: their octets are not kept in names.
constexpr std::array<std::string_view, 24> kReservedNames = {
    "con",  "prn",  "aux",  "nul",  "com0", "com1", "com2", "com3", "com4", "com5", "com6", "com7",
    "com8", "com9", "lpt0", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};

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

// "1 envelope", "2 envelopes".
std::string counted(std::size_t count, std::string_view thing) {
  return std::to_string(count) + " " + std::string(thing) + (count == 1 ? "" : "s");
}

// 8 hex digits of the fingerprint of `octets`, telling apart names that lost octets.
std::string shortHash(std::string_view octets) {
  const std::uint64_t hash = fingerprint(octets);
  const auto folded = static_cast<unsigned>(hash ^ (hash >> kFingerprintHalf));
  std::array<char, kNameHashDigits + 1> digits{};
  static_cast<void>(std::snprintf(digits.data(), digits.size(), "%08x", folded));
  return {digits.data(), kNameHashDigits};
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
  Run(const BatchOptions& options, const FleetSealer& sealer, std::size_t queueCapacity)
      : options_(options), sealer_(sealer), queue_(queueCapacity) {}

  [[nodiscard]] JobQueue& queue() { return queue_; }
  [[nodiscard]] const std::atomic<std::size_t>& written() const { return written_; }

  [[nodiscard]] bool stopping() const { return failed_.load() || interrupted.load(); }

  // One line of --list: "FILE:LINE<tab>envelope", whole whatever the other threads print.
  [[nodiscard]] bool listed(std::size_t line, const std::string& path) {
    const std::lock_guard lock(listMutex_);
    return std::printf("%s:%zu\t%s\n", options_.path.c_str(), line, path.c_str()) >= 0;
  }

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
        fail(where(options_.path, {row.line, "cannot derive the PSK from the passphrase"}));
        break;
      }
      if (!sealer_.seal(row.ssid, psk, &envelope, &error)) {
        fail(where(options_.path, {row.line, error}));
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
      if (options_.list && !listed(row.line, job.path)) {
        fail("cannot write standard output");
        break;
      }
    }
    if (interrupted.load()) {
      queue_.abandon();  // wakes a reader waiting for room
    }
  }

 private:
  const BatchOptions& options_;
  const FleetSealer& sealer_;
  JobQueue queue_;
  std::atomic<std::size_t> written_{0};
  std::atomic<bool> failed_{false};
  std::mutex failureMutex_;
  std::string failure_;
  std::mutex listMutex_;
};

// Rows done, rate and time left, redrawn in place on standard error when it is a terminal.
class ProgressBar {
 public:
  ProgressBar(const std::atomic<std::size_t>& done, std::size_t total)
      : done_(done), total_(total), started_(Clock::now()) {
    if (isatty(STDERR_FILENO) == 1 && total_ > 0) {
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

// A file the batch reads, which no envelope may replace.
struct Input {
  // Read through an iterator, which cppcheck does not follow.
  // cppcheck-suppress unusedStructMember
  std::string option;
  dev_t device = 0;
  ino_t inode = 0;
};

// What pass one found: the rows, and which of them keep the whole envelope already there.
struct Plan {
  std::size_t rows = 0;
  std::vector<bool> kept;  // by row, counting from 0
  std::size_t keptCount = 0;
};

// A failure of the check, with the status to exit with.
struct Refusal {
  std::string message;
  int status = kExitFailure;
};

// True when `path` holds a whole envelope: every check before the fleet private key passes
// (its JSON, its members, its ephemeral point on P-256, its sizes).
bool holdsWholeEnvelope(const std::string& path) {
  SecretText text;
  std::string ignored;
  Network network;
  return readInput(path, kMaxEnvelopeSize, &text, &ignored) &&
         openEnvelopeFor(text, Bytes(kScalarSize, 0), &network) == OpenFailure::kBadFleetScalar;
}

// Whether the envelope for one row may go to `target`, and whether it is there already
// (with --resume): false with the refusal.
bool checkTarget(const BatchOptions& options, const std::string& target,
                 const std::vector<Input>& inputs, bool* keep, Refusal* refusal) {
  *keep = false;
  struct stat info {};
  if (lstat(target.c_str(), &info) != 0) {
    return errno == ENOENT || failWith(&refusal->message, systemError("cannot write " + target));
  }
  struct stat followed {};
  const bool reached = stat(target.c_str(), &followed) == 0;
  const auto input = std::find_if(inputs.begin(), inputs.end(), [&](const Input& file) {
    return reached && followed.st_dev == file.device && followed.st_ino == file.inode;
  });
  if (input != inputs.end()) {
    refusal->status = kExitUsage;
    return failWith(&refusal->message,
                    "the envelope " + target + " would replace the " + input->option + " file");
  }
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return failWith(&refusal->message, systemError("cannot write " + target));
  }
  if (options.resume && holdsWholeEnvelope(target)) {
    *keep = true;
    return true;
  }
  if (options.force) {
    return true;
  }
  return failWith(&refusal->message,
                  options.resume ? target + " is not a whole envelope (use --force to replace it)"
                                 : target +
                                       " exists (use --resume to seal only the envelopes missing, "
                                       "or --force to replace them)");
}

// Reads every row once and gives out every name without writing: the first bad row, or a
// target that may not be written, is reported.
[[nodiscard]] bool checkRows(const BatchOptions& options, int fd, const std::vector<Input>& inputs,
                             Plan* plan, Refusal* refusal) {
  BatchReader reader(readFromFd(fd));
  EnvelopeNames names;
  BatchRow row;
  BatchError bad;
  for (;;) {
    const BatchReader::Step step = reader.next(&row, &bad);
    if (step == BatchReader::Step::kEnd) {
      break;
    }
    if (step == BatchReader::Step::kError) {
      refusal->message = where(options.path, bad);
      return false;
    }
    const std::string target = (fs::path(options.outDir) / names.claim(row.ssid)).string();
    bool keep = false;
    if (!checkTarget(options, target, inputs, &keep, refusal)) {
      refusal->message = where(options.path, {row.line, refusal->message});
      return false;
    }
    plan->kept.push_back(keep);
    plan->keptCount += keep ? 1 : 0;
    ++plan->rows;
    if (interrupted.load()) {
      refusal->message = "interrupted before anything was written";
      return false;
    }
  }
  if (plan->rows == 0) {
    refusal->message = where(options.path, {0, "holds no rows"});
    return false;
  }
  return true;
}

// Reads the plan's rows again and hands those not kept to `jobs` sealing threads.
void sealRows(const BatchOptions& options, int fd, unsigned jobs, const Plan& plan, Run* run) {
  const std::size_t rows = plan.rows;
  std::vector<std::thread> sealers;
  sealers.reserve(jobs);
  try {
    for (unsigned i = 0; i < jobs; ++i) {
      sealers.emplace_back([run] { run->sealRows(); });
    }
  } catch (const std::system_error&) {
    run->fail("cannot start " + std::to_string(jobs) + " threads");
  }
  const std::string changed = options.path + " changed while it was read";
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
    if (plan.kept[given]) {
      if (options.list && !run->listed(row.line, target)) {
        run->fail("cannot write standard output");
      }
      continue;
    }
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
  bool replaced = base != ssid;
  if (base.empty()) {
    base.assign(1, '_');
  } else if (base.front() == '.') {
    base.front() = '_';  // no hidden files, and never "." or ".."
    replaced = true;
  }
  const std::size_t stemEnd = std::min(base.find('.'), base.size());
  if (std::find(kReservedNames.begin(), kReservedNames.end(),
                lowerCase(std::string_view(base).substr(0, stemEnd))) != kReservedNames.end()) {
    base.insert(stemEnd, 1, '_');
  }
  if (replaced) {
    // SSIDs that differ only in the octets replaced keep names of their own.
    base += "-" + shortHash(ssid);
  }
  for (std::size_t n = 1;; ++n) {
    std::string name = n == 1 ? base : base + "-" + std::to_string(n);
    if (taken_.insert(fingerprint(lowerCase(name))).second) {
      return name + ".json";
    }
  }
}

int runBatch(const BatchOptions& options) {
  const Clock::time_point started = Clock::now();
  const std::string& path = options.path;
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
  UniqueFd batch;
  struct stat info {};
  if (!openInputFile(path, path, O_RDONLY, &batch, &error, &info)) {
    return reportFailure(error);
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

  // No envelope may replace what the run reads.
  std::vector<Input> inputs = {{"--batch", info.st_dev, info.st_ino}};
  if (struct stat key{}; stat(options.fleetKey.c_str(), &key) == 0) {
    inputs.push_back({"--fleet-key", key.st_dev, key.st_ino});
  }

  const InterruptCatcher catcher;
  Plan plan;
  if (Refusal refusal; !checkRows(options, batch.get(), inputs, &plan, &refusal)) {
    return reportFailure(refusal.message, refusal.status);
  }
  // Made with its parents, as mkdir -p does.
  if (std::error_code failure;
      !fs::exists(folder) && !fs::create_directories(options.outDir, failure) && failure) {
    errno = failure.value();
    return reportFailure(systemError("cannot create folder " + options.outDir));
  }
  if (lseek(batch.get(), 0, SEEK_SET) != 0) {
    return reportFailure(systemError("cannot read " + path));
  }

  const std::size_t rows = plan.rows - plan.keptCount;
  const unsigned jobs =
      options.jobs != 0 ? options.jobs : std::max(1U, std::thread::hardware_concurrency());
  Run run(options, *sealer, jobs * kRowsQueuedPerJob);
  ProgressBar progress(run.written(), rows);
  sealRows(options, batch.get(), jobs, plan, &run);
  progress.stop();

  // One flush of the folder makes every rename of the run last.
  const bool flushed = flushFolder(options.outDir, &error);
  const std::size_t written = run.written().load();
  const std::string tally =
      std::to_string(written) + " of " + counted(rows, "envelope") + " written";
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
  const std::string kept =
      plan.keptCount == 0 ? "" : ", kept " + std::to_string(plan.keptCount) + " whole from before";
  if (std::printf("sealed %s into %s in %.2f s with %s%s\n", counted(rows, "envelope").c_str(),
                  options.outDir.c_str(), seconds, counted(jobs, "job").c_str(),
                  kept.c_str()) < 0 ||
      std::fflush(stdout) != 0) {
    return reportFailure("cannot write standard output");
  }
  return kExitOk;
}

}  // namespace zezi
