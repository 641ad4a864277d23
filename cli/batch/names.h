// The envelope file names of a batch, one for each row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

namespace zezi {

// The envelope file names of one batch, given out in row order: the SSID with every octet
// but ASCII letters, digits, '.', '-' and '_' (and a leading '.') turned into '_' and then,
// when any was, "-" and 8 hex digits of a hash of the SSID's octets; then "-2", "-3", ...
// when an earlier row has the same name up to case, then ".json". A part before the first
// dot that some systems reserve for devices (con, nul, com0, lpt9, ...) gets a '_'.
class EnvelopeNames {
 public:
  [[nodiscard]] std::string claim(std::string_view ssid);

  // The path in `folder` of the next name, claimed for `ssid`.
  [[nodiscard]] std::string claimIn(const std::string& folder, std::string_view ssid);

 private:
  std::unordered_set<std::uint64_t> taken_;  // fingerprints of the names in lower case
};

}  // namespace zezi
