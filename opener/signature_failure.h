// Why verifySignature refuses, as a value: for callers that act on the cause rather than
// show it (the C interface), and for tests that go through every cause.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/failure.h"
#include "opener/trust_list.h"
#include "opener/verify_signature.h"

namespace zezi {

// One value per message, in the order the checks run.
enum class SignatureFailure : std::uint8_t {
  kNone,  // verified (or an unsigned envelope let in by the transition policy)
  kNoOutput,
  kStateUnreadable,
  kTrustListDiffers,
  kSignatureMissing,
  kTooLarge,
  kNotJson,
  kNotObject,
  kUnknownMember,
  kFormatMissing,
  kStatementMissing,
  kSignatureMemberMissing,
  kFormatRepeated,
  kStatementRepeated,
  kSignatureRepeated,
  kFormatNotString,
  kStatementNotString,
  kSignatureNotString,
  kWrongFormat,
  kStatementNotBase64,
  kSignatureNotBase64,
  kBadStatementSize,
  kBadSignatureSize,
  kUnknownSigner,
  kSupersededSigner,
  kNotCanonical,
  kCannotCheck,  // OpenSSL failed, not the signature
  kDoesNotVerify,
  kOtherFleet,
  kOtherEnvelope,
  kMalformedStatement,
  kExpired,
  kNotYetValid,
  kSerialOlder,
  kSerialReused,
  kSetFull,
  kSetSsidTaken,  // found once the envelope has opened
};
inline constexpr SignatureFailure kLastSignatureFailure = SignatureFailure::kSetSsidTaken;

// The fixed message of a failure, as verifySignature writes it; empty for kNone.
[[nodiscard]] std::string_view signatureFailureText(SignatureFailure failure);

// Whether `text` is the message of some failure.
[[nodiscard]] bool isSignatureFailureText(std::string_view text);

// verifySignature, reporting the cause of a refusal instead of its message: kNone when
// both outputs were written, which are otherwise left untouched.
[[nodiscard]] SignatureFailure verifySignatureFor(const SignatureInput& input,
                                                  const TrustList& trustList,
                                                  VerifiedSignature* verifiedOut,
                                                  ReplayState* stateOut);

// Records the SSID of the envelope `verified` names in its member of the set in `*state`,
// once the envelope has opened: kSetSsidTaken, leaving `*state` untouched, when another
// member holds that SSID. An unsigned envelope has no member and changes nothing.
[[nodiscard]] SignatureFailure recordOpenedNetwork(const VerifiedSignature& verified,
                                                   const std::string& ssid, ReplayState* state);

// Whether a record can hold `state`: at most 16 networks, no envelope or known SSID twice,
// SSIDs of 1 to 32 octets, networks only under a set key (or a version-1 state of at most
// one). encodeReplayState fails for any other state, or when OpenSSL fails.
[[nodiscard]] bool isRecordable(const ReplayState& state);

// Whether `text` is a message openSignedEnvelope can write: verifySignature's, its own two,
// or openEnvelope's.
[[nodiscard]] bool isOpenSignedEnvelopeText(std::string_view text);

}  // namespace zezi
