#include "cli/batch/runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "base/exit_status.h"
#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/batch/interrupt.h"
#include "cli/batch/plan.h"
#include "cli/batch/progress.h"
#include "cli/batch/sealing.h"
#include "cli/diagnostics.h"
#include "cli/key_loading.h"
#include "cli/secret_input.h"
#include "sealer/fleet_sealer.h"

namespace zezi {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Rows read ahead per sealing thread: enough to keep every thread busy, few enough that a
// long file never waits in memory.
constexpr std::size_t kRowsQueuedPerJob = 16;

// Opens the batch file and checks it and the output folder before any row is read; the
// inputs that no envelope may replace are noted.
bool openBatch(const BatchOptions& options, UniqueFd* batch, std::vector<BatchInput>* inputs,
               Refusal* refusal) {
  const std::string& path = options.path;
  struct stat info {};
  if (!openInputFile(path, path, O_RDONLY, batch, &refusal->message, &info)) {
    return false;
  }
  // As ssh does with private keys: secrets others can read are secrets no longer.
  if ((info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    refusal->message = path + " is readable by group or others (chmod 600 it)";
    return false;
  }
  std::error_code ignored;
  const fs::file_status folder = fs::status(options.outDir, ignored);
  if (fs::exists(folder) && !fs::is_directory(folder)) {
    refusal->message = options.outDir + " is not a folder";
    return false;
  }
  *inputs = {{"--batch", info.st_dev, info.st_ino}};
  if (struct stat key{}; stat(options.fleetKey.c_str(), &key) == 0) {
    inputs->push_back({"--fleet-key", key.st_dev, key.st_ino});
  }
  return true;
}

// Makes the output folder with its parents, as mkdir -p does, and rewinds the batch file
// for the second pass.
bool prepareSecondPass(const BatchOptions& options, int batch, Refusal* refusal) {
  if (std::error_code failure; !fs::is_directory(options.outDir, failure) &&
                               !fs::create_directories(options.outDir, failure) && failure) {
    errno = failure.value();
    refusal->message = systemError("cannot create folder " + options.outDir);
    return false;
  }
  if (lseek(batch, 0, SEEK_SET) != 0) {
    refusal->message = systemError("cannot read " + options.path);
    return false;
  }
  return true;
}

// The outcome of the second pass: a failure with the tally, or the summary line.
int report(const BatchOptions& options, const BatchPlan& plan, SealingRun* run, unsigned jobs,
           Clock::time_point started) {
  std::string error;
  const std::size_t rows = plan.rows - plan.keptCount;
  // One flush of the folder makes every rename of the run last.
  const bool flushed = flushFolder(options.outDir, &error);
  const std::size_t written = run->written().load();
  const std::string tally =
      std::to_string(written) + " of " + counted(rows, "envelope") + " written";
  if (std::string failure; !run->succeeded(&failure)) {
    return reportFailure(failure + " (" + tally + ")");
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

}  // namespace

int runBatch(const BatchOptions& options) {
  const Clock::time_point started = Clock::now();
  if (options.path == "-") {
    return reportFailure("--batch needs a file, which is read twice, not standard input",
                         kExitUsage);
  }
  // The sealer's decoding of the point is the key's one check.
  std::unique_ptr<FleetSealer> sealer;
  const auto makeSealer = [&sealer](const Bytes& raw) {
    sealer = FleetSealer::create(raw, nullptr);
    return sealer != nullptr;
  };
  if (std::string error; !loadFleetKey(options.fleetKey, makeSealer, &error)) {
    return reportFailure(error);
  }
  UniqueFd batch;
  std::vector<BatchInput> inputs;
  const InterruptCatcher catcher;
  BatchPlan plan;
  if (Refusal refusal; !openBatch(options, &batch, &inputs, &refusal) ||
                       !checkRows(options, batch.get(), inputs, &plan, &refusal) ||
                       !prepareSecondPass(options, batch.get(), &refusal)) {
    return reportFailure(refusal.message, refusal.status);
  }
  const unsigned jobs =
      options.jobs != 0 ? options.jobs : std::max(1U, std::thread::hardware_concurrency());
  SealingRun run(options, *sealer, jobs * kRowsQueuedPerJob);
  ProgressBar progress(run.written(), plan.rows - plan.keptCount);
  run.sealRows(batch.get(), jobs, plan);
  progress.stop();
  return report(options, plan, &run, jobs, started);
}

}  // namespace zezi
