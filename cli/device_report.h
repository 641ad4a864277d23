// What apply did, envelope by envelope and network by network: the lines it prints, the
// JSON objects of --json, and the record of the last run that status shows, kept beside
// the replay state (which also remembers a reload still to be done).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// "applied", "unchanged", "would apply", "refused", "removed", "would remove", "kept".
[[nodiscard]] std::string_view outcomeText(Outcome outcome);

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

// A name from a drive, shown so that it cannot disturb the terminal.
[[nodiscard]] std::string shownName(std::string_view name);
// "SSID \"Office\"", or "SSID hex 4f..." for octets that are not UTF-8.
[[nodiscard]] std::string shownSsid(std::string_view ssid);

// "wifi.json: applied: SSID \"Office\" in /etc/...".
[[nodiscard]] std::string envelopeLine(const EnvelopeReport& report);
// "removed: SSID \"Guest\" from /etc/...: not in the newest set".
[[nodiscard]] std::string networkLine(const NetworkReport& report);

// One JSON object on one line: file (null for a network), result, reason (null when
// none), ssid (null when unknown or not UTF-8), ssid_hex (null when unknown), stack_file.
[[nodiscard]] std::string envelopeJson(const EnvelopeReport& report);
[[nodiscard]] std::string networkJson(const NetworkReport& report);

// The run as one JSON object: time, reload_pending, problem, envelopes and networks.
[[nodiscard]] std::string runReportJson(const RunReport& report);

// Keeps the run beside the replay state at `statePath` (a symlink there followed), as
// "<state>.last-run", replaced whole.
[[nodiscard]] bool saveRunReport(const std::string& statePath, const RunReport& report,
                                 std::string* error);

// The run kept beside the state; `*found` false, and true returned, when there is none.
[[nodiscard]] bool loadRunReport(const std::string& statePath, RunReport* report, bool* found,
                                 std::string* error);

}  // namespace zezi
