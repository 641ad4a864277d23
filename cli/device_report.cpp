#include "cli/device_report.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/failure.h"
#include "base/file_descriptor.h"
#include "base/whole_file.h"
#include "cli/atomic_file.h"
#include "cli/display_json.h"
#include "encoding/hex.h"
#include "encoding/utf8.h"

namespace zezi {
namespace {

using nlohmann::json;

constexpr std::array<std::pair<Outcome, std::string_view>, 7> kOutcomeTexts = {{
    {Outcome::kApplied, "applied"},
    {Outcome::kUnchanged, "unchanged"},
    {Outcome::kWouldApply, "would apply"},
    {Outcome::kRefused, "refused"},
    {Outcome::kRemoved, "removed"},
    {Outcome::kWouldRemove, "would remove"},
    {Outcome::kKept, "kept"},
}};

constexpr mode_t kReportMode = 0600;
// A run of a full drive is a few KiB; far more is not a record this tool wrote.
constexpr std::size_t kMaxReportSize = std::size_t{4} * 1024 * 1024;
constexpr const char* kReportSuffix = ".last-run";

bool isPlainName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_' ||
           c == '+';
  });
}

json textOrNull(std::string_view text) {
  return isUtf8(text) ? json(std::string(text)) : json(nullptr);
}

json ssidMembers(const std::optional<std::string>& ssid, json object) {
  object["ssid"] = ssid ? textOrNull(*ssid) : json(nullptr);
  object["ssid_hex"] = ssid ? json(hexEncode(textToBytes(*ssid))) : json(nullptr);
  return object;
}

json envelopeObject(const EnvelopeReport& report) {
  json object = {{"file", textOrNull(report.file)},
                 {"result", outcomeText(report.result)},
                 {"reason", report.reason.empty() ? json(nullptr) : json(report.reason)}};
  object = ssidMembers(report.ssid, std::move(object));
  object["stack_file"] = report.stackFile.empty() ? json(nullptr) : textOrNull(report.stackFile);
  return object;
}

json networkObject(const NetworkReport& report) {
  json object = {{"file", nullptr},
                 {"result", outcomeText(report.result)},
                 {"reason", report.reason.empty() ? json(nullptr) : json(report.reason)}};
  object = ssidMembers(report.ssid, std::move(object));
  object["stack_file"] = textOrNull(report.stackFile);
  return object;
}

std::string dumped(const json& object) {
  return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<Outcome> outcomeNamed(std::string_view text) {
  const auto* found = std::find_if(kOutcomeTexts.begin(), kOutcomeTexts.end(),
                                   [&](const auto& row) { return row.second == text; });
  return found == kOutcomeTexts.end() ? std::nullopt : std::optional<Outcome>(found->first);
}

std::string stringOr(const json& object, const char* member) {
  const auto found = object.find(member);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::optional<std::string> ssidOf(const json& object) {
  const std::string hex = stringOr(object, "ssid_hex");
  if (hex.empty()) {
    return std::nullopt;
  }
  const Bytes octets = hexDecode(hex);
  return std::string(octets.begin(), octets.end());
}

bool reportPathOf(const std::string& statePath, std::string* path, std::string* error) {
  std::string stateFile;
  if (!followSymlinks(statePath, &stateFile)) {
    return failWith(error, "cannot follow the replay state file's symlink");
  }
  *path = stateFile + kReportSuffix;
  return true;
}

}  // namespace

std::string_view outcomeText(Outcome outcome) {
  const auto* found = std::find_if(kOutcomeTexts.begin(), kOutcomeTexts.end(),
                                   [&](const auto& row) { return row.first == outcome; });
  return found->second;
}

std::string shownName(std::string_view name) {
  if (isPlainName(name)) {
    return std::string(name);
  }
  const std::string json = displaySafeJsonString(name);
  return json != "null" ? json : "name hex " + hexEncode(textToBytes(name));
}

std::string shownSsid(std::string_view ssid) {
  const std::string json = displaySafeJsonString(ssid);
  return json != "null" ? "SSID " + json : "SSID hex " + hexEncode(textToBytes(ssid));
}

std::string envelopeLine(const EnvelopeReport& report) {
  std::string line = shownName(report.file) + ": " + std::string(outcomeText(report.result));
  if (report.result == Outcome::kRefused) {
    return line + ": " + report.reason;
  }
  return line + ": " + shownSsid(report.ssid.value_or(std::string())) + " in " + report.stackFile;
}

std::string networkLine(const NetworkReport& report) {
  const char* where = report.result == Outcome::kKept ? " in " : " from ";
  return std::string(outcomeText(report.result)) + ": " + shownSsid(report.ssid) + where +
         report.stackFile + ": " + report.reason;
}

std::string envelopeJson(const EnvelopeReport& report) {
  return dumped(envelopeObject(report));
}

std::string networkJson(const NetworkReport& report) {
  return dumped(networkObject(report));
}

std::string runReportJson(const RunReport& report) {
  json envelopes = json::array();
  std::transform(report.envelopes.begin(), report.envelopes.end(), std::back_inserter(envelopes),
                 envelopeObject);
  json networks = json::array();
  std::transform(report.networks.begin(), report.networks.end(), std::back_inserter(networks),
                 networkObject);
  return dumped(json{{"time", report.time},
                     {"reload_pending", report.reloadPending},
                     {"problem", report.problem.empty() ? json(nullptr) : json(report.problem)},
                     {"envelopes", std::move(envelopes)},
                     {"networks", std::move(networks)}});
}

bool saveRunReport(const std::string& statePath, const RunReport& report, std::string* error) {
  std::string path;
  return reportPathOf(statePath, &path, error) &&
         writeFileAtomically(path, runReportJson(report) + "\n", kReportMode, true, error);
}

bool loadRunReport(const std::string& statePath, RunReport* report, bool* found,
                   std::string* error) {
  std::string path;
  if (!reportPathOf(statePath, &path, error)) {
    return false;
  }
  std::string text;
  switch (readWholeFile(AT_FDCWD, path, Symlinks::kNoFollow, kMaxReportSize, &text)) {
    case WholeFile::kRead:
      break;
    case WholeFile::kMissing:
      *found = false;
      return true;
    default:
      return failWith(error, "cannot read the record of the last run " + path);
  }
  const json object = json::parse(text, nullptr, false);
  if (!object.is_object() || !object.value("time", json()).is_number_unsigned() ||
      !object.value("envelopes", json()).is_array() ||
      !object.value("networks", json()).is_array()) {
    return failWith(error, "the record of the last run is damaged: " + path);
  }
  RunReport loaded;
  loaded.time = object["time"].get<std::uint64_t>();
  loaded.reloadPending = object.value("reload_pending", false);
  loaded.problem = stringOr(object, "problem");
  for (const json& entry : object["envelopes"]) {
    EnvelopeReport envelope;
    envelope.file = stringOr(entry, "file");
    envelope.result = outcomeNamed(stringOr(entry, "result")).value_or(Outcome::kRefused);
    envelope.reason = stringOr(entry, "reason");
    envelope.ssid = ssidOf(entry);
    envelope.stackFile = stringOr(entry, "stack_file");
    loaded.envelopes.push_back(std::move(envelope));
  }
  for (const json& entry : object["networks"]) {
    NetworkReport network;
    network.result = outcomeNamed(stringOr(entry, "result")).value_or(Outcome::kKept);
    network.ssid = ssidOf(entry).value_or(std::string());
    network.stackFile = stringOr(entry, "stack_file");
    network.reason = stringOr(entry, "reason");
    loaded.networks.push_back(std::move(network));
  }
  *report = std::move(loaded);
  *found = true;
  return true;
}

}  // namespace zezi
