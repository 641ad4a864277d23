// The device's whole path for a signed envelope: check the signature file against the trust
// list from its firmware and the replay state it keeps, then open the envelope, then hand
// back the network and the replay state to commit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/export.h"
#include "crypto/types.h"
#include "opener/open_envelope.h"
#include "opener/replay_state.h"
#include "opener/trust_list.h"

namespace zezi {

// What to do with an envelope that has no signature file beside it.
enum class SignaturePolicy : std::uint8_t {
  kRequired,    // refuse it
  kTransition,  // accept it until a signed envelope has been accepted; keep no state for it
};

struct SignatureInput {
  std::string_view envelope;                      // the envelope file's exact octets
  std::optional<std::string_view> signatureFile;  // absent: no signature file exists
  // The stored replay state; null when the store could not read it, which always fails.
  const ReplayState* state = nullptr;
  SignaturePolicy policy = SignaturePolicy::kRequired;
  // A trusted current time, Unix seconds, if any; issued_at may then be at most 300
  // seconds after it.
  std::optional<std::uint64_t> now;
};

struct VerifiedSignature {
  bool isSigned = false;     // false: an unsigned envelope that the transition policy let in
  std::size_t keyIndex = 0;  // the signer's index in the trust list
  Statement statement;       // the signed statement's fields
};

// Checks the signature file against the trust list and the replay state, in the order of
// docs/format.md section 9, then (only when it passes) opens the envelope as openEnvelope
// does with the fleet's 32-octet private scalar, whose public key must be the trust list's fleet
// key. On success writes the network, what was verified and the new replay state, and returns true;
// the caller commits the state before using the network. `verifiedOut` and `stateOut` may be null
// when the caller has no use for them. On failure returns false, leaves every
// output untouched and, when `errorOut` is not null, writes one fixed message.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool openSignedEnvelope(
    const SignatureInput& input, const TrustList& trustList, const Bytes& fleetScalar,
    Network* networkOut, VerifiedSignature* verifiedOut, ReplayState* stateOut,
    std::string* errorOut);

}  // namespace zezi
