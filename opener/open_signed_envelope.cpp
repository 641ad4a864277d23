#include "opener/open_signed_envelope.h"

#include <array>
#include <vector>

#include "base/failure.h"
#include "envelope/p256_keys.h"

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
  *verifiedOut = verified;
  *stateOut = next;
  *networkOut = std::move(network);
  return true;
}

std::span<const std::string_view> openSignedEnvelopeMessages() {
  static const std::vector<std::string_view> messages = [] {
    std::vector<std::string_view> all(verifySignatureMessages().begin(),
                                      verifySignatureMessages().end());
    all.insert(all.end(), kMessages.begin(), kMessages.end());
    all.insert(all.end(), kOpenEnvelopeMessages.begin(), kOpenEnvelopeMessages.end());
    return all;
  }();
  return messages;
}

}  // namespace zezi
