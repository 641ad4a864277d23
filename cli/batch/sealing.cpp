#include "cli/batch/sealing.h"

#include <sys/stat.h>

#include <cstdio>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/batch/interrupt.h"
#include "cli/batch/names.h"
#include "cli/wpa_psk.h"

namespace zezi {
namespace {

constexpr mode_t kEnvelopeMode = 0644;

}  // namespace

bool SealingRun::stopping() const {
  return failed_.load() || batchInterrupted();
}

bool SealingRun::listed(std::size_t line, const std::string& path) {
  const std::lock_guard lock(listMutex_);
  return std::printf("%s:%zu\t%s\n", options_.path.c_str(), line, path.c_str()) >= 0;
}

void SealingRun::fail(std::string message) {
  {
    const std::lock_guard lock(failureMutex_);
    if (!failed_.load()) {
      failure_ = std::move(message);
      failed_.store(true);
    }
  }
  queue_.abandon();
}

bool SealingRun::succeeded(std::string* error) {
  const std::lock_guard lock(failureMutex_);
  return !failed_.load() || failWith(error, failure_);
}

void SealingRun::sealQueued() {
  Job job;
  std::string envelope;
  std::string error;
  while (!stopping() && queue_.pop(&job)) {
    const BatchRow& row = job.row;
    const SecretText psk =
        row.isPassphrase ? wpaPskFromPassphrase(row.secret, row.ssid) : row.secret;
    if (psk.empty()) {
      fail(placeInBatch(options_.path, {row.line, "cannot derive the PSK from the passphrase"}));
      break;
    }
    if (!sealer_.seal(row.ssid, psk, &envelope, &error)) {
      fail(placeInBatch(options_.path, {row.line, error}));
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
  if (batchInterrupted()) {
    queue_.abandon();  // wakes a reader waiting for room
  }
}

void SealingRun::sealRows(int fd, unsigned jobs, const BatchPlan& plan) {
  const std::size_t rows = plan.rows;
  std::vector<std::thread> sealers;
  sealers.reserve(jobs);
  try {
    for (unsigned i = 0; i < jobs; ++i) {
      sealers.emplace_back([this] { sealQueued(); });
    }
  } catch (const std::system_error&) {
    fail("cannot start " + std::to_string(jobs) + " threads");
  }
  const std::string changed = options_.path + " changed while it was read";
  BatchReader reader(readFromFd(fd));
  EnvelopeNames names;
  BatchRow row;
  BatchError bad;
  for (std::size_t given = 0; !stopping(); ++given) {
    const BatchReader::Step step = reader.next(&row, &bad);
    if (step == BatchReader::Step::kEnd) {
      if (given != rows) {
        fail(changed);
      }
      break;
    }
    if (step == BatchReader::Step::kError || given == rows) {
      fail(changed);
      break;
    }
    std::string target = names.claimIn(options_.outDir, row.ssid);
    if (plan.kept[given]) {
      if (options_.list && !listed(row.line, target)) {
        fail("cannot write standard output");
      }
      continue;
    }
    if (!queue_.push({std::move(row), std::move(target)})) {
      break;
    }
  }
  if (batchInterrupted()) {
    queue_.abandon();
  } else {
    queue_.finish();
  }
  for (std::thread& sealer : sealers) {
    sealer.join();
  }
}

}  // namespace zezi
