#include "opener/open_signed_envelope.h"

#include <algorithm>
#include <array>

#include "base/failure.h"
#include "crypto/p256_keys.h"
#include "opener/open_failure.h"
#include "opener/signature_failure.h"

namespace zezi {
namespace {

enum Failure : std::size_t { kNoOutput, kFleetKeyMismatch, kFailureCount };

constexpr auto kMessages = std::to_array<std::string_view>({
    "no output for the network",
    "fleet private key does not belong to the trust list's fleet key",
});
static_assert(kMessages.size() == kFailureCount);

}  // namespace

bool openSignedEnvelope(const SignatureInput& input, const TrustList& trustList,
                        const Bytes& fleetScalar, Network* networkOut,
                        VerifiedSignature* verifiedOut, ReplayState* stateOut,
                        std::string* errorOut) {
  if (networkOut == nullptr) {
    return failWith(errorOut, kMessages[kNoOutput]);
  }
  VerifiedSignature verified;
  ReplayState next;
  if (!verifySignature(input, trustList, &verified, &next, errorOut)) {
    return false;
  }
  // A scalar that is no key at all is left to openEnvelope's own message.
  const Bytes fleetPoint = derivePublicPoint(fleetScalar);
  if (!fleetPoint.empty() && fleetPoint != rawToPoint(trustList.fleetKey())) {
    return failWith(errorOut, kMessages[kFleetKeyMismatch]);
  }
  Network network;
  if (!openEnvelope(input.envelope, fleetScalar, &network, errorOut)) {
    return false;
  }
  // Every output only now, and the optional ones only when asked for.
  if (verifiedOut != nullptr) {
    *verifiedOut = verified;
  }
  if (stateOut != nullptr) {
    *stateOut = next;
  }
  *networkOut = std::move(network);
  return true;
}

bool isOpenSignedEnvelopeText(std::string_view text) {
  return isSignatureFailureText(text) || isOpenFailureText(text) ||
         std::find(kMessages.begin(), kMessages.end(), text) != kMessages.end();
}

}  // namespace zezi
