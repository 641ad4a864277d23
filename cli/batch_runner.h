// `seal --batch`: every network of a batch file sealed into its own envelope file, by
// several threads sharing one FleetSealer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "cli/options.h"

namespace zezi {

// Runs the batch of `options` (batchPath, outDir, jobs, fleetKey, force) and returns the
// exit status. The file is read twice, once to check every row and once to seal, so
// memory stays the same whatever its length, but for one fingerprint per file name.
[[nodiscard]] int runBatch(const SealOptions& options);

// The envelope file names of one batch, given out in row order: the SSID with every octet
// but ASCII letters, digits, '.', '-' and '_' (and a leading '.') turned into '_', then
// "-2", "-3", ... when an earlier row has the same name up to case, then ".json". Device
// names that some systems reserve (con, nul, com1, ...) get a '_' appended.
class EnvelopeNames {
 public:
  [[nodiscard]] std::string claim(std::string_view ssid);

 private:
  std::unordered_set<std::uint64_t> taken_;  // fingerprints of the names in lower case
};

}  // namespace zezi
