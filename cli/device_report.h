// What apply did, envelope by envelope and network by network: the lines it prints, the
// JSON objects of --json, and the record of the last run that status shows, kept beside
// the replay state (which also remembers a reload still to be done).
#pragma once

#include <string>
#include <string_view>

#include "device/run_report.h"

namespace zezi {

// "applied", "unchanged", "would apply", "refused", "removed", "would remove", "kept".
[[nodiscard]] std::string_view outcomeText(Outcome outcome);

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
