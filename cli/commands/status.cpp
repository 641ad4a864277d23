// status: what the device holds, as apply left it: the trust list, the replay state's
// signer and serial, the networks of its set, a reload still to be done and the last run.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli/command.h"
#include "cli/device_options.h"
#include "cli/device_report.h"
#include "cli/diagnostics.h"
#include "cli/time_text.h"
#include "encoding/hex.h"
#include "encoding/utf8.h"
#include "opener/replay_store.h"

namespace zezi {
namespace {

using nlohmann::json;

constexpr const char* kStatusHelp =
    "Shows what this device holds, read from the same settings as apply (--config): the\n"
    "trust list's version and digest; the replay state's signer key id with its index in the\n"
    "trust list, its serial and time floor, and the trust list it was written under; the set\n"
    "of networks the device holds (signed with one serial), each with its stack file and the\n"
    "times of its signature; whether a reload of the stack is still to be done; and the last\n"
    "run of apply, envelope by envelope with its result and reason. No PSK is ever shown.\n"
    "--json prints one JSON object instead (/usr/share/doc/zezi-vidad-device/device.md lists\n"
    "its members). Exit status 0, or 1 when the state or the record of the last run cannot be\n"
    "read.\n\n"
    "Example:\n"
    "  zezi-vidad status --config /etc/zezi-vidad/device.conf\n";

struct StatusOptions {
  DeviceOptions device;
  bool json = false;
};

json indexJson(const TrustList& trustList, const Digest& keyId) {
  const std::optional<std::size_t> index = trustList.indexOf(keyId);
  return index ? json(*index) : json(nullptr);
}

std::string indexText(const TrustList& trustList, const Digest& keyId) {
  const std::optional<std::size_t> index = trustList.indexOf(keyId);
  return index ? "index " + std::to_string(*index) + " in the trust list"
               : std::string("no longer in the trust list");
}

std::string hexOf(const Digest& digest) {
  return hexEncode(Bytes(digest.begin(), digest.end()));
}

// How the state stands to the trust list the device has now.
std::string listRelation(const ReplayState& state, const TrustList& trustList) {
  if (state.trustListVersion < trustList.version()) {
    return "an older trust list: the next envelope accepted starts it afresh";
  }
  if (state.legacyKeyIndex) {
    return "a record of version 1, read under this list's version";
  }
  return state.trustListDigest == trustList.digest() ? "this trust list"
                                                     : "another trust list: every envelope is "
                                                       "refused until the list is the one it had";
}

class Status : public Command {
 public:
  explicit Status(CLI::App* command) {
    command->footer(kStatusHelp);
    addDeviceOptions(command, &options_.device,
                     {"policy", "now", "reload", "revoked", "source", "envelope", "dry-run"});
    once(command->add_flag("--json", options_.json, "one JSON object on standard output"));
  }

  [[nodiscard]] bool complete(std::string* error) override {
    return completeDeviceOptions(options_.device, &target_, error);
  }

  [[nodiscard]] int run() const override {
    PrivateKey key;
    TrustList trustList;
    ReplayState state;
    RunReport lastRun;
    bool ran = false;
    std::string error;
    if (!loadDevice(options_.device, &key, &trustList, &error)) {
      return reportFailure(error);
    }
    if (!loadReplayState(options_.device.statePath, trustList, &state)) {
      return reportFailure("replay state is unreadable: " + options_.device.statePath);
    }
    if (!loadRunReport(options_.device.statePath, &lastRun, &ran, &error)) {
      return reportFailure(error);
    }
    const std::string text = options_.json ? asJson(trustList, state, ran ? &lastRun : nullptr)
                                           : asText(trustList, state, ran ? &lastRun : nullptr);
    static_cast<void>(std::fputs(text.c_str(), stdout));
    return kExitOk;
  }

 private:
  [[nodiscard]] std::string stackFileOf(const SetMember& member) const {
    return member.ssid ? configPathOf(target_, Network{*member.ssid, {}}) : std::string();
  }

  [[nodiscard]] std::string asJson(const TrustList& trustList, const ReplayState& state,
                                   const RunReport* lastRun) const {
    json networks = json::array();
    for (const SetMember& member : state.set) {
      const bool text = member.ssid && isUtf8(*member.ssid);
      networks.push_back({
          {"ssid", text ? json(*member.ssid) : json(nullptr)},
          {"ssid_hex", member.ssid ? json(hexEncode(textToBytes(*member.ssid))) : json(nullptr)},
          {"stack", options_.device.stack},
          {"stack_file", member.ssid ? json(stackFileOf(member)) : json(nullptr)},
          {"envelope_sha256", hexOf(member.envelopeSha256)},
          {"issued_at", member.issuedAt},
          {"expires_at", member.expiresAt},
      });
    }
    const json object = {
        {"trust_list", {{"version", trustList.version()}, {"digest", hexOf(trustList.digest())}}},
        {"state",
         {{"trust_list_version", state.trustListVersion},
          {"trust_list_digest", hexOf(state.trustListDigest)},
          {"under_this_trust_list", !state.legacyKeyIndex &&
                                        state.trustListVersion == trustList.version() &&
                                        state.trustListDigest == trustList.digest()},
          {"key_id", hexOf(state.keyId)},
          {"key_index", indexJson(trustList, state.keyId)},
          {"highest_serial", state.highestSerial},
          {"time_floor", state.timeFloor}}},
        {"set", state.hasAcceptedSignature()
                    ? json{{"key_id", hexOf(state.setKeyId)},
                           {"key_index", indexJson(trustList, state.setKeyId)},
                           {"serial", state.setSerial},
                           {"carried", state.setCarried},
                           {"networks", std::move(networks)}}
                    : json(nullptr)},
        {"reload_pending", lastRun != nullptr && lastRun->reloadPending},
        {"last_run", lastRun != nullptr ? json::parse(runReportJson(*lastRun)) : json(nullptr)},
    };
    return object.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  }

  [[nodiscard]] std::string asText(const TrustList& trustList, const ReplayState& state,
                                   const RunReport* lastRun) const {
    std::string out = "trust list: version " + std::to_string(trustList.version()) + ", digest " +
                      hexOf(trustList.digest()) + "\n";
    out += "replay state: written under " + listRelation(state, trustList) + "\n";
    out += "stack: " + options_.device.stack + ", " + target_.location + "\n";
    out += "signer: key id " + hexOf(state.keyId) + ", " + indexText(trustList, state.keyId) +
           "; serial " + std::to_string(state.highestSerial) + ", time floor " +
           utcText(state.timeFloor) + "\n";
    if (!state.hasAcceptedSignature()) {
      out += "set: none: no signed envelope accepted yet\n";
    } else {
      out += "set: serial " + std::to_string(state.setSerial) + " by key id " +
             hexOf(state.setKeyId) + ", " + indexText(trustList, state.setKeyId) +
             (state.setCarried ? ", accepted under an older trust list" : "") + "; " +
             std::to_string(state.set.size()) + " networks\n";
      for (const SetMember& member : state.set) {
        out += member.ssid ? "  " + shownSsid(*member.ssid) + " in " + stackFileOf(member)
                           : "  envelope " + hexOf(member.envelopeSha256) +
                                 ", SSID not known until it is read again";
        if (member.expiresAt != 0) {
          out += ", issued " + utcText(member.issuedAt) + ", expires " + utcText(member.expiresAt);
        }
        out += "\n";
      }
    }
    out += std::string("reload: ") +
           (lastRun != nullptr && lastRun->reloadPending ? "pending: the next apply asks again"
                                                         : "none pending") +
           "\n";
    if (lastRun == nullptr) {
      return out + "last run: none recorded\n";
    }
    out += "last run: " + utcText(lastRun->time) + "\n";
    for (const EnvelopeReport& envelope : lastRun->envelopes) {
      out += "  " + envelopeLine(envelope) + "\n";
    }
    for (const NetworkReport& network : lastRun->networks) {
      out += "  " + networkLine(network) + "\n";
    }
    if (!lastRun->problem.empty()) {
      out += "  " + lastRun->problem + "\n";
    }
    return out;
  }

  StatusOptions options_;
  StackTarget target_;
};

}  // namespace

const CommandEntry kStatusCommand{"status", "show what this device holds and its last apply",
                                  addCommand<Status>};

}  // namespace zezi
