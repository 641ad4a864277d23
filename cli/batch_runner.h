// `seal --batch`: every network of a batch file sealed into its own envelope file, by
// several threads sharing one FleetSealer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

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

// The envelope file names of one batch, given out in row order: the SSID with every octet
// but ASCII letters, digits, '.', '-' and '_' (and a leading '.') turned into '_' and then,
// when any was, "-" and 8 hex digits of a hash of the SSID's octets; then "-2", "-3", ...
// when an earlier row has the same name up to case, then ".json". A part before the first
// dot that some systems reserve for devices (con, nul, com0, lpt9, ...) gets a '_'.
class EnvelopeNames {
 public:
  [[nodiscard]] std::string claim(std::string_view ssid);

 private:
  std::unordered_set<std::uint64_t> taken_;  // fingerprints of the names in lower case
};

}  // namespace zezi
