// The device's whole path for a signed envelope: check the signature file, then open the
// envelope, then hand back the network and the replay state to commit.
#pragma once

#include <string>
#include <string_view>

#include "base/export.h"
#include "crypto/types.h"
#include "opener/open_envelope.h"
#include "opener/replay_state.h"
#include "opener/trust_list.h"
#include "opener/verify_signature.h"

namespace zezi {

// verifySignature, then (only when it passes) openEnvelope with the fleet's 32-octet
// private scalar, whose public key must be the trust list's fleet key. On success writes
// the network, what was verified and the new replay state, and returns true; the caller
// commits the state before using the network. `verifiedOut` and `stateOut` may be null
// when the caller has no use for them. On failure returns false, leaves every
// output untouched and, when `errorOut` is not null, writes one fixed message.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool openSignedEnvelope(
    const SignatureInput& input, const TrustList& trustList, const Bytes& fleetScalar,
    Network* networkOut, VerifiedSignature* verifiedOut, ReplayState* stateOut,
    std::string* errorOut);

}  // namespace zezi
