// What one run of apply did, envelope by envelope and network by network.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zezi {

enum class Outcome : std::uint8_t {
  kApplied,
  kUnchanged,
  kWouldApply,
  kRefused,
  kRemoved,
  kWouldRemove,
  kKept,
};

struct EnvelopeReport {
  std::string file;  // the envelope's name in its folder
  Outcome result = Outcome::kRefused;
  std::string reason;               // why it was refused
  std::optional<std::string> ssid;  // the network's SSID octets, once it opened
  std::string stackFile;            // where the network is
};

// A network the tool wrote earlier that this run took away, or kept with a warning.
struct NetworkReport {
  Outcome result = Outcome::kKept;
  std::string ssid;
  std::string stackFile;
  std::string reason;
};

struct RunReport {
  std::uint64_t time = 0;  // Unix seconds
  std::vector<EnvelopeReport> envelopes;
  std::vector<NetworkReport> networks;
  bool reloadPending = false;  // the stack has not read what was written yet
  std::string problem;         // what failed after the envelopes, if anything
};

}  // namespace zezi
