// apply: the device's command. The envelopes of a drive or the boot partition are checked
// against the trust list and the replay state as open --trust does, opened with the fleet
// key and written into the WiFi stack's own configuration; the networks the newest set
// dropped are removed; the state is committed once, when the configuration is on the disk.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/failure.h"
#include "cli/command.h"
#include "cli/device_options.h"
#include "cli/device_report.h"
#include "cli/diagnostics.h"
#include "cli/drive_reader.h"
#include "cli/time_text.h"
#include "opener/open_signed_envelope.h"
#include "opener/replay_store.h"
#include "opener/verify_signature.h"
#include "stacks/config_writer.h"

namespace zezi {
namespace {

constexpr const char* kApplyHelp =
    "Applies envelopes as a device does: each one is checked against the trust list and the\n"
    "replay state (as open --trust does), every check every time, opened with the fleet key\n"
    "and its network written into the WiFi stack's configuration:\n"
    "  networkmanager  zezi-<name>.nmconnection in --config-dir\n"
    "                  (/etc/NetworkManager/system-connections)\n"
    "  wpa-supplicant  a marked network block in --config-file\n"
    "                  (/etc/wpa_supplicant/wpa_supplicant.conf; made with a ctrl_interface\n"
    "                  line when missing), in place of any block of the same SSID, such\n"
    "                  as save_config writes back without the marks\n"
    "  iwd             <SSID>.psk in --config-dir (/var/lib/iwd), keeping the other\n"
    "                  settings of one there; an SSID that is not UTF-8 is refused,\n"
    "                  since iwd never joins one\n"
    "--source reads every *.json at the top of a folder (a drive or the boot partition; case\n"
    "ignored, hidden names skipped, regular files only), each with its .sig beside it, up to\n"
    "64 by name (any more are not read, which is said and exits 1; a folder without any says\n"
    "which of its subfolders hold some); --envelope reads one. The envelopes signed with one "
    "serial are one set, and the device\n"
    "holds the networks of the newest set alone: a higher serial (or a successor signer)\n"
    "starts a new set, and once the drive is read, every network an earlier set wrote that\n"
    "the new one does not hold is removed. An envelope of the set read again is unchanged\n"
    "(or written again where its file was deleted or differs); an older serial is refused.\n"
    "Networks of a signer the trust list no longer holds are never written again; --revoked\n"
    "keep (the default) leaves those written, with a warning at every run, withdraw removes\n"
    "them. The replay state is saved last, once, when everything is on the disk.\n"
    "One line per envelope and per removed or kept network on standard error: applied,\n"
    "unchanged, refused and why, removed, kept; --json prints the same to standard output as\n"
    "one JSON object per line (file, result, reason, ssid, ssid_hex, stack_file). --reload asks\n"
    "the stack to read its configuration (nmcli connection reload, wpa_cli reconfigure); one\n"
    "that failed is tried again at every run until it succeeds. --dry-run says what would\n"
    "change and writes nothing. status shows what the device holds and the last run.\n"
    "--config reads settings as key = \"value\" lines named as the long options (the command\n"
    "line wins). Exit status 0 when every envelope was applied or unchanged, or none was\n"
    "found; 1 when any was refused or the reload failed; 3 when networks were written but the\n"
    "replay state could not be saved (the next run applies the same envelopes again).\n\n"
    "Example:\n"
    "  zezi-vidad apply --private /etc/zezi-vidad/fleet.key --source /media/usb \\\n"
    "      --trust-list /etc/zezi-vidad/device.trust --state /var/lib/zezi-vidad/replay.state \\\n"
    "      --stack networkmanager --reload\n";

// Networks written but the replay state not saved: the next run applies them again.
constexpr int kExitStateNotSaved = 3;

struct ApplyOptions {
  DeviceOptions device;
  std::string sourcePath;
  std::string envelopePath;
  std::string policy;   // "required" (when empty) or "transition"
  std::string revoked;  // "keep" (when empty) or "withdraw"
  bool now = false;
  bool reload = false;
  bool dryRun = false;
  bool json = false;
};

std::string checkPolicy(const std::string& policy) {
  return policy == "required" || policy == "transition"
             ? std::string()
             : std::string("must be required or transition");
}

std::string checkRevoked(const std::string& revoked) {
  return revoked == "keep" || revoked == "withdraw" ? std::string()
                                                    : std::string("must be keep or withdraw");
}

// What one run carries from envelope to envelope: the state as it stands so far, and what
// it changed in the stack's configuration.
struct RunState {
  const ReplayState* stored = nullptr;  // null: unreadable, so every envelope is refused
  ReplayState working;
  bool changed = false;  // a file of the stack was written or removed (or would be)
  bool removalFailed = false;
};

class Apply : public Command {
 public:
  explicit Apply(CLI::App* command) {
    command->footer(kApplyHelp);
    addDeviceOptions(command, &options_.device, {});
    CLI::Option* source =
        takes(command->add_option("--source", options_.sourcePath, "folder of envelopes (a drive)"),
              "DIR");
    takes(command->add_option("--envelope", options_.envelopePath, "one envelope file"), "FILE")
        ->excludes(source);
    takes(command->add_option("--policy", options_.policy, "required (default) or transition"),
          "POLICY")
        ->check(CLI::Validator(checkPolicy, ""));
    takes(command->add_option("--revoked", options_.revoked,
                              "networks of a signer no longer trusted: keep (default) or withdraw"),
          "WHAT")
        ->check(CLI::Validator(checkRevoked, ""));
    once(command->add_flag("--now", options_.now, "trust this machine's clock"));
    once(command->add_flag("--reload", options_.reload, "ask the stack to read its configuration"));
    once(command->add_flag("--dry-run", options_.dryRun, "say what would change, write nothing"));
    once(command->add_flag("--json", options_.json, "one JSON object per line on standard output"));
  }

  [[nodiscard]] std::optional<std::string> complete() override {
    if (options_.sourcePath.empty() == options_.envelopePath.empty()) {
      return "give --source or --envelope";
    }
    return completeDeviceOptions(options_.device, &target_);
  }

  [[nodiscard]] int run() const override {
    PrivateKey key;
    TrustList trustList;
    SourceListing source;
    std::string error;
    if (!loadDevice(options_.device, &key, &trustList, &error) ||
        !readSource(options_.sourcePath, options_.envelopePath, &source, &error)) {
      return reportFailure(error);
    }
    bool failed = source.notRead > 0;
    showListing(source);
    // Held until the state is saved, so that no other opener accepts meanwhile.
    ReplayStateLock lock;
    const std::string& statePath = options_.device.statePath;
    if (!options_.dryRun && !lock.acquire(statePath, &error)) {
      return reportFailure(error);
    }
    RunReport report;
    report.time = currentUnixTime();
    bool found = false;
    RunReport previous;
    std::string why;
    const bool pendingBefore =
        loadRunReport(statePath, &previous, &found, &why) && found && previous.reloadPending;

    ReplayState stored;
    RunState run;
    if (loadReplayState(statePath, trustList, &stored)) {
      run.stored = &stored;
      run.working = stored;
    }
    const std::vector<Candidate> queue =
        ordered(trustList, run.stored, std::move(source.candidates));
    for (const Candidate& candidate : queue) {
      report.envelopes.push_back(applyOne(candidate, trustList, key, &run));
      failed = failed || report.envelopes.back().result == Outcome::kRefused;
      show(report.envelopes.back());
    }
    if (run.stored != nullptr) {
      settleNetworks(trustList, &run, &report);
    }

    const bool changedState = !options_.dryRun && run.stored != nullptr && run.working != stored;
    const bool saved = !changedState || saveState(run, &report);
    // The stack is asked to use the networks only once the state is saved.
    report.reloadPending = pendingBefore;
    if (options_.reload && !options_.dryRun && saved &&
        (run.changed || changedState || pendingBefore)) {
      failed = !reload(&report) || failed;
    }
    if (!report.problem.empty()) {
      reportFailure(report.problem);
    }
    if (!options_.dryRun && !saveRunReport(statePath, report, &why)) {
      failed = failed || report.reloadPending;
      reportFailure("cannot keep the record of this run for status: " + why);
    }
    if (!saved) {
      return kExitStateNotSaved;
    }
    return failed ? kExitFailure : kExitOk;
  }

 private:
  [[nodiscard]] SignatureInput inputFor(const Candidate& candidate,
                                        const ReplayState* state) const {
    SignatureInput input;
    input.envelope = candidate.envelope;
    if (candidate.signatureFile) {
      input.signatureFile = *candidate.signatureFile;
    }
    input.state = state;
    input.policy =
        options_.policy == "transition" ? SignaturePolicy::kTransition : SignaturePolicy::kRequired;
    if (options_.now) {
      input.now = currentUnixTime();
    }
    return input;
  }

  // Unsigned envelopes first (the transition policy lets them in only before the first
  // signed one); then those that verify against the stored state, the newest signer and
  // serial first, so that the newest set is the one applied and older ones are refused;
  // then those that will be refused; each group by name.
  [[nodiscard]] std::vector<Candidate> ordered(const TrustList& trustList,
                                               const ReplayState* stored,
                                               std::vector<Candidate> candidates) const {
    using Place = std::tuple<int, std::size_t, std::uint64_t>;
    std::vector<std::pair<Place, Candidate>> placed;
    for (Candidate& candidate : candidates) {
      Place place{2, 0, 0};
      VerifiedSignature verified;
      ReplayState next;
      if (candidate.readError.empty() && !candidate.signatureFile) {
        place = {0, 0, 0};
      } else if (candidate.readError.empty() && stored != nullptr &&
                 verifySignature(inputFor(candidate, stored), trustList, &verified, &next,
                                 nullptr)) {
        // Descending: the complement sorts the newest first.
        place = {1, ~verified.keyIndex, ~verified.statement.serial};
      }
      placed.emplace_back(place, std::move(candidate));
    }
    std::stable_sort(placed.begin(), placed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Candidate> result;
    result.reserve(placed.size());
    for (auto& [place, candidate] : placed) {
      result.push_back(std::move(candidate));
    }
    return result;
  }

  // Commits the run's state, unless a network it should have removed is still there, so
  // that the next run tries again; says what the next run does when it cannot.
  [[nodiscard]] bool saveState(const RunState& run, RunReport* report) const {
    std::string why;
    const bool saved = run.removalFailed
                           ? failWith(&why, "a network could not be removed")
                           : commitReplayState(options_.device.statePath, run.working, &why);
    if (!saved) {
      report->problem = "the configuration is written but the replay state could not be saved (" +
                        why + "): the next run applies the same envelopes again";
    }
    return saved;
  }

  // Asks the stack to read its configuration; a failure stays pending for the next run.
  [[nodiscard]] bool reload(RunReport* report) const {
    std::string why;
    report->reloadPending = !reloadStack(target_.stack, &why);
    if (report->reloadPending) {
      report->problem = why + ": the stack is asked again at the next run";
    }
    return !report->reloadPending;
  }

  // Checks, opens and writes one envelope against the state of the run so far.
  [[nodiscard]] EnvelopeReport applyOne(const Candidate& candidate, const TrustList& trustList,
                                        const PrivateKey& key, RunState* run) const {
    EnvelopeReport report;
    report.file = candidate.name;
    if (!candidate.readError.empty()) {
      report.reason = candidate.readError;
      return report;
    }
    Network network;
    VerifiedSignature verified;
    ReplayState next;
    std::string why;
    if (!openSignedEnvelopeWith(
            key, inputFor(candidate, run->stored != nullptr ? &run->working : nullptr), trustList,
            &network, &verified, &next, &why)) {
      report.reason = "cannot open the envelope: " + why;
      return report;
    }
    ConfigChange change = ConfigChange::kUnchanged;
    if (!writeNetwork(target_, network, options_.dryRun, &change, &why)) {
      report.reason = why;
      return report;
    }
    if (verified.isSigned) {
      run->working = std::move(next);
    }
    run->changed = run->changed || change == ConfigChange::kWritten;
    report.result = change == ConfigChange::kUnchanged ? Outcome::kUnchanged
                    : options_.dryRun                  ? Outcome::kWouldApply
                                                       : Outcome::kApplied;
    report.ssid = network.ssid;
    report.stackFile = configPathOf(target_, network);
    return report;
  }

  // Once the drive is read: the networks of the set it replaced that the new set does not
  // hold are removed; those of a signer the trust list no longer holds are kept with a
  // warning or withdrawn.
  void settleNetworks(const TrustList& trustList, RunState* run, RunReport* report) const {
    std::set<std::string> holding;
    for (const SetMember& member : run->working.set) {
      if (member.ssid) {
        holding.insert(*member.ssid);
      }
    }
    for (const SetMember& member : run->stored->set) {
      if (member.ssid && !holding.contains(*member.ssid)) {
        remove(*member.ssid, "not in the newest set", run, report);
      }
    }
    ReplayState& working = run->working;
    if (working.set.empty() || trustList.indexOf(working.setKeyId)) {
      return;
    }
    const char* why = "its signer is no longer in the trust list";
    for (const SetMember& member : working.set) {
      if (!member.ssid) {
        continue;  // from an older record, never opened since: nothing known to remove
      }
      if (options_.revoked == "withdraw") {
        remove(*member.ssid, why, run, report);
      } else {
        report->networks.push_back(NetworkReport{
            Outcome::kKept, *member.ssid, configPathOf(target_, Network{*member.ssid, {}}), why});
        show(report->networks.back());
      }
    }
    if (options_.revoked == "withdraw") {
      working.set.clear();
    }
  }

  void remove(const std::string& ssid, const std::string& why, RunState* run,
              RunReport* report) const {
    NetworkReport removed{options_.dryRun ? Outcome::kWouldRemove : Outcome::kRemoved, ssid,
                          configPathOf(target_, Network{ssid, {}}), why};
    ConfigChange change = ConfigChange::kUnchanged;
    std::string error;
    if (!removeNetwork(target_, ssid, options_.dryRun, &change, &error)) {
      removed.result = Outcome::kKept;
      removed.reason = why + ", but " + error;
      run->removalFailed = true;
    }
    run->changed = run->changed || change == ConfigChange::kWritten;
    report->networks.push_back(std::move(removed));
    show(report->networks.back());
  }

  // What the source holds besides the envelopes read: more than a drive may hold, or none
  // at its top.
  void showListing(const SourceListing& source) const {
    if (source.notRead > 0) {
      static_cast<void>(std::fprintf(stderr,
                                     "zezi-vidad: %zu more *.json files in %s were not read: a "
                                     "source holds at most %zu envelopes\n",
                                     source.notRead, options_.sourcePath.c_str(),
                                     kMaxEnvelopesPerSource));
    } else if (source.candidates.empty()) {
      std::string where;
      for (const std::string& folder : source.foldersWithEnvelopes) {
        where += (where.empty() ? "" : ", ") + shownName(folder) + "/";
      }
      if (!where.empty()) {
        where = "; " + where + (source.foldersWithEnvelopes.size() == 1 ? " holds" : " hold") +
                " some, but only the top is read";
      }
      static_cast<void>(std::fprintf(stderr, "zezi-vidad: no envelope at the top of %s%s\n",
                                     options_.sourcePath.c_str(), where.c_str()));
    }
  }

  void show(const EnvelopeReport& report) const {
    if (options_.json) {
      std::printf("%s\n", envelopeJson(report).c_str());
    }
    // As is: a capital in the file's name is not lowered as in reportFailure.
    static_cast<void>(std::fprintf(stderr, "zezi-vidad: %s\n", envelopeLine(report).c_str()));
  }

  void show(const NetworkReport& report) const {
    if (options_.json) {
      std::printf("%s\n", networkJson(report).c_str());
    }
    static_cast<void>(std::fprintf(stderr, "zezi-vidad: %s\n", networkLine(report).c_str()));
  }

  ApplyOptions options_;
  StackTarget target_;
};

}  // namespace

const CommandEntry kApplyCommand{"apply", "apply envelopes to this device's WiFi stack",
                                 addCommand<Apply>};

}  // namespace zezi
