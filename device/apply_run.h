// One run of apply on the device: the envelopes of a source checked against the trust list
// and the replay state, every check every time, opened, written into the WiFi stack's
// configuration, the networks the newest set dropped removed, and the state committed
// once, when the configuration is on the disk. The lock is taken once, the state read once
// and each signature verified once per run; the caller only reads the source and says what
// happened.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/drive_reader.h"
#include "device/run_report.h"
#include "opener/open_signed_envelope.h"
#include "opener/replay_store.h"
#include "stacks/config_writer.h"

namespace zezi {

// What becomes of the networks of a signer the trust list no longer holds.
enum class RevokedNetworks : std::uint8_t { kKeep, kWithdraw };

struct ApplySettings {
  StackTarget target;
  std::string statePath;
  SignaturePolicy policy = SignaturePolicy::kRequired;
  RevokedNetworks revoked = RevokedNetworks::kKeep;
  std::optional<std::uint64_t> now;  // a clock the device trusts, for expiry
  std::uint64_t runTime = 0;         // when the run started, for its record
  bool reload = false;
  bool dryRun = false;
};

// Opens a signed envelope with the device's fleet key, in whichever form the device holds
// it (openSignedEnvelope's contract).
using SignedOpening = std::function<bool(const SignatureInput&, const TrustList&, Network*,
                                         VerifiedSignature*, ReplayState*, std::string*)>;

// Told of each envelope and each network as the run settles it, so that lines appear
// while the run works.
struct RunListener {
  std::function<void(const EnvelopeReport&)> envelopeSettled;
  std::function<void(const NetworkReport&)> networkSettled;
};

struct RunResult {
  RunReport report;
  bool refused = false;    // an envelope was refused, or the reload failed
  bool stateSaved = true;  // false: written, but the next run applies the same again
};

class ApplyRun {
 public:
  ApplyRun(ApplySettings settings, const TrustList& trustList, SignedOpening open,
           RunListener listener);

  // Takes the replay state's lock (not for a dry run), held until the run ends, so that no
  // other opener accepts meanwhile. False with a message naming the lock file and why.
  [[nodiscard]] bool lock(std::string* error);

  // Applies `candidates` (as readSource gives them). `reloadPending`: an earlier run wrote
  // networks the stack was never made to read, so the reload is due whatever changes.
  [[nodiscard]] RunResult apply(std::vector<Candidate> candidates, bool reloadPending);

 private:
  struct Progress;

  [[nodiscard]] SignatureInput inputFor(const Candidate& candidate, const ReplayState* state) const;
  [[nodiscard]] std::vector<Candidate> ordered(const ReplayState* stored,
                                               std::vector<Candidate> candidates) const;
  [[nodiscard]] EnvelopeReport applyOne(const Candidate& candidate, Progress* progress) const;
  void settleNetworks(Progress* progress, RunReport* report) const;
  void noteForeignProfiles(const std::string& ssid, RunReport* report) const;
  void remove(const std::string& ssid, const std::string& why, Progress* progress,
              RunReport* report) const;
  [[nodiscard]] bool saveState(const Progress& progress, RunReport* report) const;
  [[nodiscard]] bool reload(RunReport* report) const;

  ApplySettings settings_;
  const TrustList& trustList_;
  SignedOpening open_;
  RunListener listener_;
  ReplayStateLock lock_;
};

}  // namespace zezi
