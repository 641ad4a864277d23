// Why openEnvelope refuses an envelope, as a value: for callers that act on the cause
// rather than show it (the C interface), and for tests that go through every cause.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/failure.h"
#include "crypto/types.h"
#include "opener/open_envelope.h"

namespace zezi {

class FleetOpener;

// One value per message, in the order the checks run.
enum class OpenFailure : std::uint8_t {
  kNone,  // opened
  kTooLarge,
  kNoOutput,
  kNotJson,
  kNotObject,
  kUnknownMember,
  kFormatMissing,
  kEphPubMissing,
  kSaltMissing,
  kNonceMissing,
  kSealedMissing,
  kFormatRepeated,
  kEphPubRepeated,
  kSaltRepeated,
  kNonceRepeated,
  kSealedRepeated,
  kFormatNotString,
  kEphPubNotString,
  kSaltNotString,
  kNonceNotString,
  kSealedNotString,
  kWrongFormat,
  kEphPubNotBase64,
  kSaltNotBase64,
  kNonceNotBase64,
  kSealedNotBase64,
  kBadEphemeralPoint,
  kEmptySalt,
  kBadNonceSize,
  kSealedTooShort,
  kBadFleetScalar,
  kKeyAgreementFailed,
  kKeyDerivationFailed,
  kDoesNotOpen,
  kDecryptionFailed,
  kPayloadNotJson,
  kPayloadShape,
  kNetworkCount,
  kNetworkNotObject,
  kNetworkUnknownMember,
  kNetworkMemberRepeated,
  kSsidNotString,
  kPskNotString,
  kSsidEmpty,
  kSsidTooLong,
  kBadPsk,
};
inline constexpr OpenFailure kLastOpenFailure = OpenFailure::kBadPsk;

// The fixed message of a failure, as openEnvelope writes it; empty for kNone.
[[nodiscard]] std::string_view openFailureText(OpenFailure failure);

// Whether `text` is the message of some failure.
[[nodiscard]] bool isOpenFailureText(std::string_view text);

// openEnvelope, reporting the cause of a refusal instead of its message: kNone when the
// network was written to `*networkOut`, which is otherwise left untouched.
[[nodiscard]] OpenFailure openEnvelopeFor(std::string_view envelope, const Bytes& fleetScalar,
                                          Network* networkOut);

// The same with a FleetOpener's key.
[[nodiscard]] OpenFailure openEnvelopeFor(std::string_view envelope, const FleetOpener& opener,
                                          Network* networkOut);

// Whether `envelope` passes every check that needs no key (its size, its JSON and members,
// its ephemeral point on P-256, the sizes of salt, nonce and sealed): the question
// `seal --batch --resume` asks of a file a stopped run left. Whether it opens is the key's.
[[nodiscard]] bool isWholeEnvelope(std::string_view envelope);

}  // namespace zezi
