#include "device/apply_run.h"

#include <algorithm>
#include <set>
#include <tuple>
#include <utility>

#include "base/failure.h"
#include "opener/signature_failure.h"
#include "opener/verify_signature.h"

namespace zezi {

// What the run carries from envelope to envelope: the state as it stands so far, and what
// it changed in the stack's configuration.
struct ApplyRun::Progress {
  const ReplayState* stored = nullptr;  // null: unreadable, so every envelope is refused
  ReplayState working;
  bool changed = false;  // a file of the stack was written or removed (or would be)
  bool removalFailed = false;
};

ApplyRun::ApplyRun(ApplySettings settings, const TrustList& trustList, SignedOpening open,
                   RunListener listener)
    : settings_(std::move(settings)),
      trustList_(trustList),
      open_(std::move(open)),
      listener_(std::move(listener)) {}

bool ApplyRun::lock(std::string* error) {
  return settings_.dryRun || lock_.acquire(settings_.statePath, error);
}

RunResult ApplyRun::apply(std::vector<Candidate> candidates, bool reloadPending) {
  RunResult result;
  RunReport& report = result.report;
  report.time = settings_.runTime;
  ReplayState stored;
  Progress progress;
  if (loadReplayState(settings_.statePath, trustList_, &stored)) {
    progress.stored = &stored;
    progress.working = stored;
  }
  for (const Candidate& candidate : ordered(progress.stored, std::move(candidates))) {
    report.envelopes.push_back(applyOne(candidate, &progress));
    const EnvelopeReport& settled = report.envelopes.back();
    result.refused = result.refused || settled.result == Outcome::kRefused;
    listener_.envelopeSettled(settled);
    if (settled.ssid) {
      noteForeignProfiles(*settled.ssid, &report);
    }
  }
  if (progress.stored != nullptr) {
    settleNetworks(&progress, &report);
  }

  const bool changedState =
      !settings_.dryRun && progress.stored != nullptr && progress.working != stored;
  result.stateSaved = !changedState || saveState(progress, &report);
  // The stack is asked to use the networks only once the state is saved.
  report.reloadPending = reloadPending;
  if (settings_.reload && !settings_.dryRun && result.stateSaved &&
      (progress.changed || changedState || reloadPending)) {
    result.refused = !reload(&report) || result.refused;
  }
  return result;
}

SignatureInput ApplyRun::inputFor(const Candidate& candidate, const ReplayState* state) const {
  SignatureInput input;
  input.envelope = candidate.envelope;
  if (candidate.signatureFile) {
    input.signatureFile = *candidate.signatureFile;
  }
  input.state = state;
  input.policy = settings_.policy;
  input.now = settings_.now;
  return input;
}

// Unsigned envelopes first (the transition policy lets them in only before the first
// signed one); then the signed ones by the signer and serial their statements claim, the
// newest first, so that the newest set is the one applied and older ones are refused; then
// those that will be refused whatever they claim; each group by name. A claim only orders:
// each envelope is verified once, when it is opened, against the state as the run left it.
std::vector<Candidate> ApplyRun::ordered(const ReplayState* stored,
                                         std::vector<Candidate> candidates) const {
  using Place = std::tuple<int, std::size_t, std::uint64_t>;
  std::vector<std::pair<Place, Candidate>> placed;
  for (Candidate& candidate : candidates) {
    Place place{2, 0, 0};
    Statement claimed;
    if (candidate.readError.empty() && !candidate.signatureFile) {
      place = {0, 0, 0};
    } else if (candidate.readError.empty() && stored != nullptr &&
               claimedStatement(*candidate.signatureFile, &claimed)) {
      if (const std::optional<std::size_t> signer = trustList_.indexOf(claimed.signerKeyId)) {
        // Descending: the complement sorts the newest first.
        place = {1, ~*signer, ~claimed.serial};
      }
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
bool ApplyRun::saveState(const Progress& progress, RunReport* report) const {
  std::string why;
  const bool saved = progress.removalFailed
                         ? failWith(&why, "a network could not be removed")
                         : commitReplayState(settings_.statePath, progress.working, &why);
  if (!saved) {
    report->problem = "the configuration is written but the replay state could not be saved (" +
                      why + "): the next run applies the same envelopes again";
  }
  return saved;
}

// Asks the stack to read its configuration; a failure stays pending for the next run.
bool ApplyRun::reload(RunReport* report) const {
  std::string why;
  report->reloadPending = !reloadStack(settings_.target.stack, &why);
  if (report->reloadPending) {
    report->problem = why + ": the stack is asked again at the next run";
  }
  return !report->reloadPending;
}

// Checks, opens and writes one envelope against the state of the run so far.
EnvelopeReport ApplyRun::applyOne(const Candidate& candidate, Progress* progress) const {
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
  if (!open_(inputFor(candidate, progress->stored != nullptr ? &progress->working : nullptr),
             trustList_, &network, &verified, &next, &why)) {
    report.reason = "cannot open the envelope: " + why;
    // Every envelope of a drive says so when the device holds another fleet's key.
    if (why == signatureFailureText(SignatureFailure::kOtherFleet)) {
      report.reason +=
          " (this device's fleet key, --private, is not the one the drive was "
          "sealed for)";
    }
    return report;
  }
  ConfigChange change = ConfigChange::kUnchanged;
  if (!writeNetwork(settings_.target, network, settings_.dryRun, &change, &why)) {
    report.reason = why;
    return report;
  }
  if (verified.isSigned) {
    progress->working = std::move(next);
  }
  progress->changed = progress->changed || change == ConfigChange::kWritten;
  report.result = change == ConfigChange::kUnchanged ? Outcome::kUnchanged
                  : settings_.dryRun                 ? Outcome::kWouldApply
                                                     : Outcome::kApplied;
  report.ssid = network.ssid;
  report.stackFile = configPathOf(settings_.target, network);
  return report;
}

// Once the source is read: the networks of the set it replaced that the new set does not
// hold are removed; those of a signer the trust list no longer holds are kept with a
// warning or withdrawn.
void ApplyRun::settleNetworks(Progress* progress, RunReport* report) const {
  std::set<std::string> holding;
  for (const SetMember& member : progress->working.set) {
    if (member.ssid) {
      holding.insert(*member.ssid);
    }
  }
  for (const SetMember& member : progress->stored->set) {
    if (member.ssid && !holding.contains(*member.ssid)) {
      remove(*member.ssid, "not in the newest set", progress, report);
    }
  }
  ReplayState& working = progress->working;
  if (working.set.empty() || trustList_.indexOf(working.setKeyId)) {
    return;
  }
  const bool withdraw = settings_.revoked == RevokedNetworks::kWithdraw;
  const char* why = "its signer is no longer in the trust list";
  for (const SetMember& member : working.set) {
    if (!member.ssid) {
      continue;  // from an older record, never opened since: nothing known to remove
    }
    if (withdraw) {
      remove(*member.ssid, why, progress, report);
    } else {
      report->networks.push_back(
          NetworkReport{Outcome::kKept, *member.ssid,
                        configPathOf(settings_.target, Network{*member.ssid, {}}), why});
      listener_.networkSettled(report->networks.back());
    }
  }
  if (withdraw) {
    working.set.clear();
  }
}

// NetworkManager may join with the secret of a profile the operator made for the same SSID:
// each is said at every run, until it is gone.
void ApplyRun::noteForeignProfiles(const std::string& ssid, RunReport* report) const {
  for (const std::string& profile : foreignProfiles(settings_.target, ssid)) {
    report->networks.push_back(
        NetworkReport{Outcome::kKept, ssid, profile,
                      "a profile of the same network that zezi-vidad did not write, whose "
                      "secret NetworkManager may use instead: remove it"});
    listener_.networkSettled(report->networks.back());
  }
}

void ApplyRun::remove(const std::string& ssid, const std::string& why, Progress* progress,
                      RunReport* report) const {
  NetworkReport removed{settings_.dryRun ? Outcome::kWouldRemove : Outcome::kRemoved, ssid,
                        configPathOf(settings_.target, Network{ssid, {}}), why};
  ConfigChange change = ConfigChange::kUnchanged;
  std::string error;
  if (!removeNetwork(settings_.target, ssid, settings_.dryRun, &change, &error)) {
    removed.result = Outcome::kKept;
    removed.reason = why + ", but " + error;
    progress->removalFailed = true;
  }
  progress->changed = progress->changed || change == ConfigChange::kWritten;
  report->networks.push_back(std::move(removed));
  listener_.networkSettled(report->networks.back());
}

}  // namespace zezi
