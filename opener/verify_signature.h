// The device's check of a signed envelope's signature file, against its trust list and
// replay state, before the envelope is opened: the first step of openSignedEnvelope.
// Never installed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "opener/open_signed_envelope.h"

namespace zezi {

// How far in the future issued_at may be when a trusted clock is given.
inline constexpr std::uint64_t kMaxClockSkewSeconds = 300;

// Runs the checks in their fixed order. On success writes what was verified and the new
// replay state (for the caller to commit once the envelope has opened) and returns true,
// leaving `*errorOut` untouched. On failure returns false, leaves both outputs untouched
// and, when `errorOut` is not null, replaces its contents with one fixed message.
[[nodiscard]] bool verifySignature(const SignatureInput& input, const TrustList& trustList,
                                   VerifiedSignature* verifiedOut, ReplayState* stateOut,
                                   std::string* errorOut);

// The statement `signatureFile` carries, read without any check of its signature, its
// signer or the state: for putting the envelopes of a drive in order before each is
// verified, never for trusting one. False when the file holds no statement.
[[nodiscard]] bool claimedStatement(std::string_view signatureFile, Statement* statementOut);

}  // namespace zezi
