// `seal --batch`: every network of a batch file sealed into its own envelope file, by
// several threads sharing one FleetSealer. The run's steps: the names of the targets
// (names.h), the first pass that checks every row and target (plan.h), the
// second pass whose threads seal and write (sealing.h), the progress and the summary
// (progress.h).
#pragma once

#include <string>

namespace zezi {

// The most threads a batch may use.
inline constexpr unsigned kMaxJobs = 256;

struct BatchOptions {
  std::string path;  // the batch file
  std::string outDir;
  std::string fleetKey;
  unsigned jobs = 0;    // 0 for one per core
  bool force = false;   // replace envelopes there
  bool resume = false;  // keep the whole envelopes a stopped run left, seal the rest
  bool list = false;    // print "FILE:LINE<tab>envelope" for each row
};

// Runs the batch of `options` and returns the exit status. The file is read twice, once to check
// every row and every target and once to seal, so memory stays the same whatever its length, but
// for one fingerprint per file name and one bit per row. No target may be a folder or one of the
// inputs; with --resume a target that holds a whole envelope is kept.
[[nodiscard]] int runBatch(const BatchOptions& options);

}  // namespace zezi
